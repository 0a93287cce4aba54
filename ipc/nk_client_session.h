#ifndef NORVAK_IPC_NK_CLIENT_SESSION_H_
#define NORVAK_IPC_NK_CLIENT_SESSION_H_

#include <memory>

#include "nk_client_protocol.h"
#include "nk_if_client_session.h"
#include "nk_session.h"

namespace norvak {
namespace ipc {

// Talks to one of the servers of its address list over pooled connections.
class NkClientSession : public NkSession, public NkIfClientSession {
 public:
  explicit NkClientSession(std::shared_ptr<NkIfSessionPoolManager> pool_manager);
  ~NkClientSession() override;

  bool Execute(NkClientProtocol* protocol, const base::NkDeadline& deadline) override;

  // One exchange on `connection`: the identifier (unless 0), then requests
  // and replies until the protocol is finished. False when a step failed or
  // the peer closed; other failures raise.
  bool ClientExchange(NkClientProtocol& protocol, const NkIfIPCPtr& connection,
                      const base::NkDeadline& deadline);

 protected:
  bool Exchange(NkProtocol* protocol, const NkIfIPCPtr& connection,
                const base::NkDeadline& deadline) override;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_CLIENT_SESSION_H_
