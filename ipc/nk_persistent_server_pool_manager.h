#ifndef NORVAK_IPC_NK_PERSISTENT_SERVER_POOL_MANAGER_H_
#define NORVAK_IPC_NK_PERSISTENT_SERVER_POOL_MANAGER_H_

#include <deque>
#include <vector>

#include "nk_deadline.h"
#include "nk_persistent_pool_manager.h"
#include "nk_unique_fd.h"

namespace norvak {
namespace ipc {

// Listens on the session's addresses. Accepted connections wait in the
// e-pool until their first bytes arrive, then move to the r-pool, from which
// Execute takes them in arrival order; after a good exchange a connection
// goes back to the e-pool for its next request. At most the maximum of
// connections are open at once (0: no limit).
//
// One connection handed back after an exchange is "parked" instead: the
// next thread that has to wait for a connection polls it itself (with an
// eventfd for the pool's events), so a client that keeps its connection is
// served without the maintenance thread relaying every request.
class NkPersistentServerPoolManager : public NkPersistentPoolManager {
 public:
  explicit NkPersistentServerPoolManager(const ConnSettings& settings);
  ~NkPersistentServerPoolManager() override;

  bool Init(const std::vector<std::string>& addresses) override;
  bool Reinit(const std::vector<std::string>& addresses) override;
  bool Suspend() override;
  void ReleaseConnection(const NkIfIPCPtr& connection) override;
  void CloseConnection(const NkIfIPCPtr& connection) override;

  size_t GetEstablishedCount() const;
  size_t GetReadyCount() const;
  size_t GetBusyCount() const;

 protected:
  bool AcceptConnection(const NkIfIPCPtr& connection) override;
  NkIfIPCPtr TakeReadyLocked() override;
  WaitOutcome WaitLocked(std::unique_lock<std::mutex>& lock, const base::NkDeadline& deadline,
                         uint32_t* event, NkIfIPCPtr* connection) override;
  base::NkTimeout BuildWaitListLocked(std::vector<pollfd>* entries,
                                      std::vector<NkIfIPCPtr>* connections) override;
  void OnTimeout() override;
  void OnReady(const NkIfIPCPtr& connection, short revents) override;
  void CloseAll() override;

 private:
  void AcceptOne(const NkIfIPCPtr& listener, short revents);
  size_t CountLocked() const {
    return established_.size() + ready_.size() + busy_.size() + (parked_ ? 1 : 0) +
           (led_ ? 1 : 0);
  }
  // With mutex_ held: a parked connection nobody leads goes to the poller.
  void UnparkLocked();
  void UpdateMaximaLocked();
  // With mutex_ held: back to the e-pool, expiring after the lifetime.
  void EstablishLocked(const NkIfIPCPtr& connection);
  std::string StartLine() const;

  std::vector<NkIfIPCPtr> established_;  // e-pool
  std::deque<NkIfIPCPtr> ready_;         // r-pool, oldest request first
  std::vector<NkIfIPCPtr> busy_;
  std::vector<NkIfIPCPtr> retired_;      // busy ones of replaced listeners
  NkIfIPCPtr parked_;  // handed back, waiting for a thread to lead it
  NkIfIPCPtr led_;     // polled by a waiting thread right now
  base::UniqueFd wake_fd_;  // wakes the leading thread for the pool's events
  // After a failed accept (out of descriptors, typically) the listeners are
  // left alone for a while instead of polling readable in a loop.
  bool accept_paused_ = false;
  base::NkDeadline accept_resume_;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_PERSISTENT_SERVER_POOL_MANAGER_H_
