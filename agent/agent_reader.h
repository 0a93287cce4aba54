#ifndef NORVAK_AGENT_AGENT_READER_H_
#define NORVAK_AGENT_AGENT_READER_H_

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Runs the agent reads of reloads on a thread of its own, so that an agent
// that is slow or silent never holds the loop: one read at a time, and a
// read asked for while another waits to begin replaces the waiting one (the
// later reload's settings are the ones that count). The thread is made with
// the first read.
class AgentReader {
 public:
  AgentReader() = default;
  // Waits for the read under way, if any; whoever owns the agent's session
  // closes it first, so that the read fails at once.
  ~AgentReader();
  AgentReader(const AgentReader&) = delete;
  AgentReader& operator=(const AgentReader&) = delete;

  void submit(std::function<void()> read);
  // Ends the thread once the read under way, if any, returns; later reads
  // are dropped.
  void stop();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable cond_;
  std::function<void()> next_;
  bool stopping_ = false;
  std::thread thread_;
};

#endif  // NORVAK_AGENT_AGENT_READER_H_
