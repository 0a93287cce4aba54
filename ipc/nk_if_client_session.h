#ifndef NORVAK_IPC_NK_IF_CLIENT_SESSION_H_
#define NORVAK_IPC_NK_IF_CLIENT_SESSION_H_

#include "nk_client_protocol.h"
#include "nk_deadline.h"
#include "nk_if_session.h"

namespace norvak {
namespace ipc {

class NkIfClientSession : public virtual NkIfSession {
 public:
  // Runs one exchange of `protocol` on a pooled connection. False when the
  // protocol or the peer broke the exchange; raises on refusal, time-out,
  // cancellation and connection failures.
  virtual bool Execute(NkClientProtocol* protocol, const base::NkDeadline& deadline) = 0;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_IF_CLIENT_SESSION_H_
