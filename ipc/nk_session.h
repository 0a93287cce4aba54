#ifndef NORVAK_IPC_NK_SESSION_H_
#define NORVAK_IPC_NK_SESSION_H_

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nk_deadline.h"
#include "nk_if_ipc.h"
#include "nk_if_session.h"
#include "nk_if_session_pool_manager.h"
#include "nk_protocol.h"
#include "nk_timeout.h"

namespace norvak {
namespace ipc {

class NkSessionState;

// What client and server sessions share: the pool manager, the addresses,
// the state machine and the execution loop. Executions may run on several
// threads at once, each on its own pooled connection; destruction refuses new
// ones, releases the waiting ones and waits for the rest to leave.
class NkSession : public virtual NkIfSession {
 public:
  // Raises NkParameterError for a null pool manager.
  explicit NkSession(std::shared_ptr<NkIfSessionPoolManager> pool_manager);
  ~NkSession() override;
  NkSession(const NkSession&) = delete;
  NkSession& operator=(const NkSession&) = delete;

  void Open(const std::vector<std::string>& addresses) override;
  void Open(const std::string& address) override;
  void Close() override;
  void Suspend() override;
  void Resume() override;
  void SetTimeout(const base::NkTimeout& timeout) override;
  base::NkTimeout GetTimeout() const override;
  void CancelOperation(pthread_t thread) override;
  bool AppendStatistic(const std::string& path) override;
  std::string GetStateName() const override;
  bool WakeUp();

  // The resolved address specifications of the last Open.
  std::vector<std::string> GetAddresses() const;
  // How many executions ran out of time.
  uint32_t GetTimedOutCount() const { return timed_out_.load(); }
  // Executions in progress now.
  uint32_t GetExecutionsCount() const;

  NkIfSessionPoolManager& GetPoolManager() const { return *pool_; }

  // For the state objects. SetState runs with the session mutex held (the
  // state operations are called under it) and wakes every thread waiting
  // for a state change.
  void SetState(NkSessionState* state);
  // Waits without the mutex held until the state is no longer `from` or the
  // deadline passes; true when it changed.
  bool WaitForStateChange(const NkSessionState* from, const base::NkDeadline& deadline);

  // Hands a connection back after an exchange: through the current state
  // after a success, straight to the pool (closed) otherwise.
  void ReturnConnection(const NkIfIPCPtr& connection);
  void DiscardConnection(const NkIfIPCPtr& connection);

  // Turns "pid:" entries into the addresses their pid files list and checks
  // the others. Raises NkIpcError for an entry that is no address.
  static std::vector<std::string> ResolveAddresses(const std::vector<std::string>& entries);
  // The addresses a server wrote after its pid: a socket path becomes
  // "local:" path, host:port becomes "inet:" port "@" host. Errors are logged
  // and give no addresses.
  static std::vector<std::string> ParsePidFile(const std::string& path);

 protected:
  // Counts an execution in for its lifetime; refuses once destroyed.
  class ExecutionScope {
   public:
    explicit ExecutionScope(NkSession& session);
    ~ExecutionScope();
    ExecutionScope(const ExecutionScope&) = delete;
    ExecutionScope& operator=(const ExecutionScope&) = delete;

   private:
    NkSession& session_;
  };

  // Obtains a connection through the current state, runs Exchange on it and
  // hands it back, recalling when the state changes underneath.
  bool Perform(NkProtocol* protocol, const base::NkDeadline& deadline);
  virtual bool Exchange(NkProtocol* protocol, const NkIfIPCPtr& connection,
                        const base::NkDeadline& deadline) = 0;
  // Whether the session's own time-out also bounds the wait for a
  // connection (a client's call), or only the exchange once a connection is
  // there (a server waiting for its next client).
  virtual bool TimeoutCoversWait() const { return true; }
  // Writes the error record of a failed execution.
  virtual void LogFailure(const std::string& text) const;
  // Ends the session. The most derived destructor calls it first, while
  // Exchange can still be dispatched; later calls do nothing.
  void Destroy();

 private:
  base::NkDeadline EffectiveDeadline(const base::NkDeadline& deadline) const;
  NkSessionState* CurrentState() const;
  std::string AddressesText() const;

  std::shared_ptr<NkIfSessionPoolManager> pool_;
  std::vector<std::string> addresses_;
  NkSessionState* state_;
  base::NkTimeout timeout_;
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  uint32_t executions_ = 0;
  bool destroyed_ = false;
  bool terminated_ = false;
  std::atomic<uint32_t> timed_out_{0};
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_SESSION_H_
