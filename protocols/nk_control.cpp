#include "protocols/nk_control.h"

#include <utility>
#include <vector>

#include "ipc/nk_deadline.h"
#include "ipc/nk_exception.h"
#include "protocols/nk_status.h"

namespace norvak {
namespace maild {

std::unique_ptr<ipc::NkDdpUnit> NkControlClient::CreateUnit() {
  return std::make_unique<ipc::NkDdpUnit>();
}

bool NkControlClient::MakeRequest(ipc::NkDdpUnit& request) {
  result_ = NkControlResult();
  return request.AddInt32(static_cast<int32_t>(action_)) && request.AddString(app_);
}

bool NkControlClient::ProcessReply(ipc::NkDdpUnit& reply) {
  result_.ok = reply.GetInt32() != 0;
  result_.message = reply.GetString();
  return true;
}

NkControlServer::NkControlServer(Handler handler, Gate gate)
    : handler_(std::move(handler)), gate_(std::move(gate)) {}

std::unique_ptr<ipc::NkDdpUnit> NkControlServer::CreateUnit() {
  return std::make_unique<ipc::NkDdpUnit>();
}

bool NkControlServer::Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit& reply) {
  std::string refusal;
  if (gate_) {
    const ipc::NkIfIPCPtr connection = request.GetConnection();
    refusal = connection ? gate_(*connection) : "control request refused: no connection";
  }
  const int32_t action = request.GetInt32();
  const uint32_t length = static_cast<uint32_t>(request.GetInt32());
  if (length > kMaxNameLength)
    throw base::NkException("control request: string of " + std::to_string(length) +
                            " bytes refused");
  std::string app(length, '\0');
  if (length > 0 && !request.GetBuffer(app)) throw base::NkException("control request: short name");

  NkControlResult result;
  if (!refusal.empty()) {
    result.message = refusal;
  } else if (action < static_cast<int32_t>(NkControlAction::kStart) ||
             action > static_cast<int32_t>(NkControlAction::kRestart)) {
    result.message = "unknown action " + std::to_string(action);
  } else if (handler_) {
    result = handler_(static_cast<NkControlAction>(action), app);
  } else {
    result.message = "control request refused: nobody to carry it out";
  }
  if (!reply_timeout_.IsInfinite()) reply.SetDeadline(base::NkDeadline(reply_timeout_));
  if (!reply.AddInt32(result.ok ? 1 : 0) || !reply.AddString(result.message))
    throw base::NkException("NkControlServer: cannot build the answer");
  return true;
}

}  // namespace maild
}  // namespace norvak
