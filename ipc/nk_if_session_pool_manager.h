#ifndef NORVAK_IPC_NK_IF_SESSION_POOL_MANAGER_H_
#define NORVAK_IPC_NK_IF_SESSION_POOL_MANAGER_H_

#include <pthread.h>

#include <string>
#include <vector>

#include "nk_conn_settings.h"
#include "nk_deadline.h"
#include "nk_if_ipc.h"
#include "nk_if_pool_manager.h"
#include "nk_timeout.h"

namespace norvak {
namespace ipc {

// What the session states ask of a session's pool. The bool results report
// failures the state turns into its own refusal texts; the details are
// logged by the pool.
class NkIfSessionPoolManager : public NkIfPoolManager {
 public:
  // Client pools connect to the addresses, server pools listen on them.
  virtual bool Init(const std::vector<std::string>& addresses) = 0;
  virtual bool Reinit(const std::vector<std::string>& addresses) = 0;
  // Ends the pool: waiting threads leave with NkThreadCanceled, idle
  // connections are closed, busy ones are shut down and closed on return.
  virtual bool Close() = 0;
  // While suspended nobody gets a connection (waiters are told to recall).
  virtual bool Suspend() = 0;
  virtual bool Resume() = 0;

  // Waits until WakeUpAll or the time-out; true when woken.
  virtual bool Sleep(const base::NkTimeout& timeout) = 0;
  virtual bool WakeUpAll() = 0;

  // A connection for one exchange, or raises (NkTimedOut at the deadline,
  // NkNeedRecall when the pool changed state, NkThreadCanceled when closed
  // or cancelled).
  virtual NkIfIPCPtr AquireConnection(const base::NkDeadline& deadline) = 0;
  // Hands back a connection after a good exchange.
  virtual void ReleaseConnection(const NkIfIPCPtr& connection) = 0;
  // Hands back a connection that must not be used again.
  virtual void CloseConnection(const NkIfIPCPtr& connection) = 0;

  virtual void CancelThread(pthread_t thread) = 0;
  virtual ConnSettings GetConnSettings() const = 0;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_IF_SESSION_POOL_MANAGER_H_
