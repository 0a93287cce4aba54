#ifndef NORVAK_PROTOCOLS_NK_GATED_SERVER_H_
#define NORVAK_PROTOCOLS_NK_GATED_SERVER_H_

#include <functional>
#include <memory>
#include <string>

#include "ipc/nk_ddp_unit.h"
#include "ipc/nk_if_ipc.h"
#include "ipc/nk_server_protocol.h"
#include "ipc/nk_timeout.h"

namespace norvak {
namespace maild {

// The server half of a management request that acts on the monitor: its
// peer is judged by a gate before anything is done, and its answer, which
// may wait for the main loop, can get a deadline of its own.
class NkGatedServer : public ipc::NkServerProtocol {
 public:
  // An empty answer admits the peer; any other text is the refusal, sent as
  // the failed answer's message.
  using Gate = std::function<std::string(const ipc::NkIfIPC& connection)>;

  // The answer gets this much time of its own instead of what is left of
  // the exchange's deadline. Infinite (the default) keeps the exchange's.
  void SetReplyTimeout(const base::NkTimeout& timeout) { reply_timeout_ = timeout; }

  std::unique_ptr<ipc::NkDdpUnit> CreateUnit() override;
  bool IsFinished() override { return true; }

 protected:
  // `what` names the request in the refusal of a request without a
  // connection ("update" -> "update request refused: no connection").
  NkGatedServer(Gate gate, std::string what);

  // The gate's verdict on the request's peer: empty when admitted. Asked
  // before the request is read; a refused request is still read to its end
  // so that the answer leaves the connection in step.
  std::string Refusal(ipc::NkDdpUnit& request) const;
  // To be called before the answer is written.
  void StartReply(ipc::NkDdpUnit& reply) const;

 private:
  Gate gate_;
  std::string what_;
  base::NkTimeout reply_timeout_;
};

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_GATED_SERVER_H_
