#ifndef NORVAK_IPC_NK_SESSION_STATE_H_
#define NORVAK_IPC_NK_SESSION_STATE_H_

#include <memory>
#include <string>
#include <vector>

#include "nk_deadline.h"
#include "nk_if_ipc.h"

namespace norvak {
namespace ipc {

class NkSession;

// One step of a session's life. Every operation on a session is delegated to
// the object of its current state, which decides whether it is allowed, asks
// the pool manager to act and then switches the session to the next state
// (pool first: a pool failure leaves the state unchanged). State objects hold
// no data and are shared by all sessions (see NkSessionStateTable).
//
// Open, Close, Suspend, Resume and Terminate run with the session mutex held;
// AquireConnection and ReleaseConnection run without it.
class NkSessionState {
 public:
  virtual ~NkSessionState() = default;

  virtual std::unique_ptr<NkSessionState> Copy() const = 0;
  virtual void Open(NkSession& session, const std::string& address);
  virtual void Open(NkSession& session, const std::vector<std::string>& addresses);
  virtual void Close(NkSession& session);
  virtual void Suspend(NkSession& session);
  virtual void Resume(NkSession& session);
  virtual void Terminate(NkSession& session);
  virtual bool WakeUp(NkSession& session);
  virtual NkIfIPCPtr AquireConnection(NkSession& session, const base::NkDeadline& limit);
  virtual void ReleaseConnection(NkSession& session, const NkIfIPCPtr& connection);
  virtual bool AppendStatistic(NkSession& session, const std::string& path);
  virtual std::string GetName() const;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_SESSION_STATE_H_
