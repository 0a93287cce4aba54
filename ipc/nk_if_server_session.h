#ifndef NORVAK_IPC_NK_IF_SERVER_SESSION_H_
#define NORVAK_IPC_NK_IF_SERVER_SESSION_H_

#include "nk_deadline.h"
#include "nk_if_session.h"
#include "nk_server_protocol.h"

namespace norvak {
namespace ipc {

class NkIfServerSession : public virtual NkIfSession {
 public:
  // The protocol objects are not owned and must outlive their registration.
  virtual bool Register(NkServerProtocol* protocol) = 0;
  virtual bool Deregister(NkServerProtocol* protocol) = 0;
  // Serves one exchange on the next connection that has a request. With a
  // null protocol the peer's identifier picks a registered one.
  virtual bool Execute(NkServerProtocol* protocol, const base::NkDeadline& deadline) = 0;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_IF_SERVER_SESSION_H_
