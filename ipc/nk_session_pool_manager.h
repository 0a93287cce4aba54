#ifndef NORVAK_IPC_NK_SESSION_POOL_MANAGER_H_
#define NORVAK_IPC_NK_SESSION_POOL_MANAGER_H_

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "nk_conn_settings.h"
#include "nk_deadline.h"
#include "nk_if_ipc.h"
#include "nk_if_session_pool_manager.h"
#include "nk_multi_event.h"
#include "nk_time.h"
#include "nk_timeout.h"

namespace norvak {
namespace ipc {

// The basic pool manager: one fresh connection per exchange (a client
// connects, a server accepts), closed afterwards. It also holds what every
// manager shares: the addresses, the connect time-out, the event through
// which waiting threads are woken, the cancellation requests, the sleepers
// and the statistics.
class NkSessionPoolManager : public NkIfSessionPoolManager {
 public:
  enum Role { kClient, kServer };

  // Events delivered to threads waiting for a connection.
  enum Event : uint32_t {
    kEventDestroy = 1,
    kEventStateChanged = 0x101,
    kEventReady = 0x103,
    kEventClosed = 0x104,
    kEventCancel = 0x105,
  };

  NkSessionPoolManager(Role role, const ConnSettings& settings);
  ~NkSessionPoolManager() override;
  NkSessionPoolManager(const NkSessionPoolManager&) = delete;
  NkSessionPoolManager& operator=(const NkSessionPoolManager&) = delete;

  bool Init(const std::vector<std::string>& addresses) override;
  bool Reinit(const std::vector<std::string>& addresses) override;
  bool Close() override;
  bool Suspend() override;
  bool Resume() override;
  bool Sleep(const base::NkTimeout& timeout) override;
  bool WakeUpAll() override;
  NkIfIPCPtr AquireConnection(const base::NkDeadline& deadline) override;
  void ReleaseConnection(const NkIfIPCPtr& connection) override;
  void CloseConnection(const NkIfIPCPtr& connection) override;
  void CancelThread(pthread_t thread) override;
  ConnSettings GetConnSettings() const override;
  bool AppendStatistic(const std::string& path) override;

  // Sleeps for `timeout` unless the calling thread is cancelled (raises
  // NkThreadCanceled) or the pool is closed.
  void Pause(const base::NkTimeout& timeout);

  Role GetRole() const { return role_; }
  base::NkTimeout GetConnectTimeout() const { return connect_timeout_; }
  // NK_CONNECT_TIMEOUT in seconds, 10 s when unset or unreadable.
  static base::NkTimeout ConnectTimeoutFromEnvironment();

 protected:
  struct Counters {
    uint64_t created = 0;
    uint64_t created_on_request = 0;
    uint64_t closed_by_timeout = 0;
    uint64_t samples = 0;
    uint64_t sum = 0;
    uint64_t max_created = 0;
    uint64_t max_established = 0;
    uint64_t max_donor = 0;
    uint64_t max_active = 0;
  };

  // Connects to the next address that answers, trying each once, within the
  // connect time-out and the deadline. Raises what the last attempt raised.
  NkIfIPCPtr CreateClientConnection(const base::NkDeadline& deadline);
  // Accepts one connection on `listener`; null when none came in time.
  NkIfIPCPtr CreateServerConnection(const NkIfIPCPtr& listener, const base::NkTimeout& timeout);
  // Listening connections on every address; false (nothing left open) when
  // one fails.
  bool CreateListeners(const std::vector<std::string>& addresses,
                       std::vector<NkIfIPCPtr>* listeners);
  // A derived manager may refuse a connection it has no room for.
  virtual bool AcceptConnection(const NkIfIPCPtr& connection);

  // Raises NkThreadCanceled when a cancellation of the calling thread is
  // pending (and drops the request).
  void CheckCancelAndExitIfNeed();
  // With mutex_ held.
  bool IsCancelRequestedLocked(pthread_t thread) const;
  void AcknowledgeCancelLocked(pthread_t thread);
  void AddWaiterLocked(pthread_t thread);
  void RemoveWaiterLocked(pthread_t thread);

  // Counters sample, with mutex_ held.
  void SampleLocked(uint64_t current);
  virtual void WriteCounters(std::string* text) const;
  virtual std::string GetManagerName() const { return "NkSessionPoolManager"; }

  const Role role_;
  mutable std::mutex mutex_;
  ConnSettings settings_;
  std::vector<std::string> addresses_;
  size_t next_address_ = 0;
  std::vector<NkIfIPCPtr> listeners_;
  bool closed_ = false;
  bool suspended_ = false;
  const base::NkTimeout connect_timeout_;
  NkMultiEvent event_;
  Counters counters_;
  base::NkTime start_time_;

 private:
  std::condition_variable cond_;
  uint64_t wakeups_ = 0;
  std::vector<pthread_t> sleeping_;
  std::vector<pthread_t> waiting_;
  std::vector<pthread_t> cancel_requests_;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_SESSION_POOL_MANAGER_H_
