#ifndef NORVAK_AGENT_AGENT_NOTIFIER_H_
#define NORVAK_AGENT_AGENT_NOTIFIER_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class Application;

// What the configuration agent is told when an application has started or
// stopped: the fields of the StartApp and StopApp requests, copied from the
// application when it happened, so that the notice can travel to another
// thread on its own.
struct AgentNotice {
  enum Kind { kStartApp, kStopApp };

  Kind kind = kStartApp;
  std::string app;
  // The first component's pid, 0 when there is none.
  int32_t pid = 0;
  // StartApp only: the components' distinct "user:group" texts, sorted and
  // joined by ","; the argument string when there is exactly one component.
  std::string permissions;
  std::string arguments;

  static AgentNotice of(Kind kind, const Application& app);
  // "StartApp MAILD"
  std::string describe() const;
};

// Tells the agent about starts and stops from a thread of its own, so that
// an agent that is slow, stopped or gone never holds the supervision loop.
//
// Notices leave one at a time in the order they were posted. One that cannot
// be delivered stays at the head and is tried again after a growing pause
// (or at once when wake() says the agent may be back), so nothing is lost
// while the agent restarts. The pause grows to half a minute: the monitor
// wakes the notifier whenever the agent's application (re)starts, so a long
// pause costs no delay then, and an agent that stays away costs a few log
// lines a minute, not a stream of them. The queue is bounded: when an unreachable agent
// lets it fill up, the oldest notice waiting is dropped, with a log line.
class AgentNotifier {
 public:
  // Delivers one notice within a bounded time; true when it went out. Runs
  // on the notifier's thread only.
  typedef std::function<bool(const AgentNotice&)> Sender;

  static constexpr size_t kDefaultCapacity = 256;

  explicit AgentNotifier(Sender sender, size_t capacity = kDefaultCapacity,
                         std::chrono::milliseconds firstRetry = std::chrono::milliseconds(250),
                         std::chrono::milliseconds maxRetry = std::chrono::seconds(30));
  // Stops the thread; what is still queued is dropped.
  ~AgentNotifier();
  AgentNotifier(const AgentNotifier&) = delete;
  AgentNotifier& operator=(const AgentNotifier&) = delete;

  // Starts the thread, with the process's asynchronous signals blocked in it
  // (they belong to the signal thread). False, logged, when it cannot be
  // created; notices are then only counted as dropped.
  bool start();
  // Ends the thread once the delivery in progress, if any, returns.
  void stop();

  void post(AgentNotice notice);
  // The agent may be reachable again: a notice waiting for its next try goes
  // now.
  void wake();

  // Notices not delivered yet, the one being sent included.
  size_t pending() const;
  uint64_t delivered() const;
  uint64_t dropped() const;
  // True once nothing is pending; false when the time runs out first.
  bool waitIdle(std::chrono::milliseconds timeout) const;

 private:
  struct Entry {
    uint64_t seq;
    AgentNotice notice;
  };

  void run();

  const Sender sender_;
  const size_t capacity_;
  const std::chrono::milliseconds firstRetry_;
  const std::chrono::milliseconds maxRetry_;

  mutable std::mutex mutex_;
  std::condition_variable cond_;
  mutable std::condition_variable idle_;
  std::deque<Entry> queue_;
  uint64_t nextSeq_ = 0;
  bool sending_ = false;  // the head is in the sender's hands
  bool running_ = false;
  bool stopping_ = false;
  bool woken_ = false;
  uint64_t delivered_ = 0;
  uint64_t dropped_ = 0;
  std::thread thread_;
};

#endif  // NORVAK_AGENT_AGENT_NOTIFIER_H_
