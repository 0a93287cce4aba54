#ifndef NORVAK_AGENT_AGENT_LINK_H_
#define NORVAK_AGENT_AGENT_LINK_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ipc/nk_client_session.h"

struct AgentNotice;

// The monitor's client session to the configuration agent, shared by the
// thread that reads the agent's settings (the supervision loop) and the one
// that sends it notifications. Each takes its own reference for the time of
// an exchange, so dropping or replacing the session never waits for an
// exchange of the other thread, and the last user of an old session closes
// it.
class AgentLink {
 public:
  AgentLink();
  // Closes the session.
  ~AgentLink();
  AgentLink(const AgentLink&) = delete;
  AgentLink& operator=(const AgentLink&) = delete;

  // Where the agent listens and how many seconds each exchange with it may
  // take; used by the sessions made from now on. Another address drops the
  // session held; an empty one means no agent: nothing connects.
  void configure(const std::string& address, int responseTimeSeconds);
  int responseTime() const;

  // The session, made and opened first if there is none (one persistent
  // connection). Null when the agent cannot be reached; then "error conect
  // to agent" is logged when loud, only a debug line otherwise.
  std::shared_ptr<norvak::ipc::NkClientSession> connect(bool loud);
  // The session if there is one; null otherwise.
  std::shared_ptr<norvak::ipc::NkClientSession> session() const;
  // Forgets the session; the next connect() makes a new one.
  void drop();
  // Forgets the session and closes it at once, so that an exchange still
  // running on it fails now instead of at its deadline; connect() makes
  // nothing until the next configure().
  void close();

  // Sends one notice within the response time, connecting first if needed.
  // False when it did not go out; a session that failed is dropped so that
  // the next try starts from a fresh connection.
  bool notify(const AgentNotice& notice);

 private:
  void dropIf(const std::shared_ptr<norvak::ipc::NkClientSession>& failed);

  mutable std::mutex mutex_;
  std::string address_;
  int responseTime_ = 30;
  std::shared_ptr<norvak::ipc::NkClientSession> session_;
  // Counts configure(), drop() and close(): a session made meanwhile for an
  // older state is not installed.
  uint64_t generation_ = 0;
};

#endif  // NORVAK_AGENT_AGENT_LINK_H_
