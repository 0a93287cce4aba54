#include "protocols/nk_gated_server.h"

#include <utility>

#include "ipc/nk_deadline.h"

namespace norvak {
namespace maild {

NkGatedServer::NkGatedServer(Gate gate, std::string what)
    : gate_(std::move(gate)), what_(std::move(what)) {}

std::unique_ptr<ipc::NkDdpUnit> NkGatedServer::CreateUnit() {
  return std::make_unique<ipc::NkDdpUnit>();
}

std::string NkGatedServer::Refusal(ipc::NkDdpUnit& request) const {
  if (!gate_) return std::string();
  const ipc::NkIfIPCPtr connection = request.GetConnection();
  return connection ? gate_(*connection) : what_ + " request refused: no connection";
}

void NkGatedServer::StartReply(ipc::NkDdpUnit& reply) const {
  if (!reply_timeout_.IsInfinite()) reply.SetDeadline(base::NkDeadline(reply_timeout_));
}

}  // namespace maild
}  // namespace norvak
