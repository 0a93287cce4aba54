#ifndef NORVAK_IPC_NK_SERVER_SESSION_H_
#define NORVAK_IPC_NK_SERVER_SESSION_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "nk_if_server_session.h"
#include "nk_server_protocol.h"
#include "nk_session.h"

namespace norvak {
namespace ipc {

// Serves the registered protocols on the connections its pool accepts; the
// identifier a client sends first picks the protocol.
class NkServerSession : public NkSession, public NkIfServerSession {
 public:
  explicit NkServerSession(std::shared_ptr<NkIfSessionPoolManager> pool_manager);
  ~NkServerSession() override;

  bool Register(NkServerProtocol* protocol) override;
  bool Deregister(NkServerProtocol* protocol) override;
  bool Execute(NkServerProtocol* protocol, const base::NkDeadline& deadline) override;

  // One exchange on `connection` with `protocol`, or with the registered
  // protocol the peer names when `protocol` is null. Raises NkException for
  // an identifier it cannot serve.
  bool ServerExchange(NkServerProtocol* protocol, const NkIfIPCPtr& connection,
                      const base::NkDeadline& deadline);

 protected:
  bool Exchange(NkProtocol* protocol, const NkIfIPCPtr& connection,
                const base::NkDeadline& deadline) override;
  // Waiting for the next client is not an exchange: the session's time-out
  // bounds the exchange only, so that an idle server does not time out.
  bool TimeoutCoversWait() const override { return false; }
  // A server's failures are its clients' doing: any client could flood the
  // log with them.
  void LogFailure(const std::string& text) const override;

 private:
  NkServerProtocol* Choose(NkServerProtocol* given, const NkIfIPCPtr& connection,
                           const base::NkDeadline& deadline);

  mutable std::mutex protocols_mutex_;
  std::map<uint32_t, NkServerProtocol*> protocols_;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_SERVER_SESSION_H_
