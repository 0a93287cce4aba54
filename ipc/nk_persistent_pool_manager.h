#ifndef NORVAK_IPC_NK_PERSISTENT_POOL_MANAGER_H_
#define NORVAK_IPC_NK_PERSISTENT_POOL_MANAGER_H_

#include <poll.h>

#include <memory>
#include <vector>

#include "nk_control.h"
#include "nk_if_maintained_pool.h"
#include "nk_maintain_thread.h"
#include "nk_session_pool_manager.h"

namespace norvak {
namespace ipc {

// A pool that keeps its connections open between exchanges. Idle connections
// and the control pipe are watched by one maintenance thread in a single
// poll; threads that need a connection wait on the multi-event and are
// woken by the maintenance thread, by returned connections, by state changes
// and by cancellation.
//
// Derived classes must call Close() in their destructors: the maintenance
// thread calls their hooks.
class NkPersistentPoolManager : public NkSessionPoolManager, public NkIfMaintainedPool {
 public:
  NkPersistentPoolManager(Role role, const ConnSettings& settings);
  ~NkPersistentPoolManager() override;

  bool Close() override;
  bool Suspend() override;
  bool Resume() override;
  NkIfIPCPtr AquireConnection(const base::NkDeadline& deadline) override;

  // A ready connection, waiting for one until the deadline.
  NkIfIPCPtr GetReady(const base::NkDeadline& deadline);
  void Maintain() override;

  NkControl& GetControl() { return *control_; }

 protected:
  void StartMaintenance();
  void StopMaintenance();

  // With mutex_ held: moves a ready connection to the busy pool.
  virtual NkIfIPCPtr TakeReadyLocked() = 0;
  // With mutex_ held: whether the caller may make a new connection instead
  // of waiting (it is then counted as being created).
  virtual bool MayCreateLocked() { return false; }
  // Without mutex_: makes the connection MayCreateLocked allowed, busy;
  // raises on failure.
  virtual NkIfIPCPtr CreateOnRequest(const base::NkDeadline& deadline);

  enum WaitOutcome { kWaitTimedOut, kWaitEvent, kWaitConnection, kWaitAgain };
  // Called with `lock` (on mutex_) held when nothing is ready; returns with
  // it held. Waits for an event (stored in *event) or, in a derived pool,
  // hands over a connection that became ready to the waiting thread itself
  // (stored in *connection, already busy).
  virtual WaitOutcome WaitLocked(std::unique_lock<std::mutex>& lock,
                                 const base::NkDeadline& deadline, uint32_t* event,
                                 NkIfIPCPtr* connection);

  // Maintenance hooks. BuildWaitListLocked runs with mutex_ held and returns
  // the time until the next idle connection expires; the others run without
  // it, on the maintenance thread.
  virtual base::NkTimeout BuildWaitListLocked(std::vector<pollfd>* entries,
                                              std::vector<NkIfIPCPtr>* connections) = 0;
  virtual void OnTimeout() = 0;
  virtual void OnReady(const NkIfIPCPtr& connection, short revents) = 0;
  // After the maintenance thread has stopped: closes what the pool holds.
  virtual void CloseAll() = 0;

  // 1: bytes wait on the descriptor, 0: the peer closed or it is broken,
  // -1: nothing to read yet.
  static int PeekState(int fd);

 private:
  // False when the maintenance loop must end.
  bool HandleControl(short revents);

  std::unique_ptr<NkControl> control_;
  std::unique_ptr<NkMaintainThread> maintainer_;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_PERSISTENT_POOL_MANAGER_H_
