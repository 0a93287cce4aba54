#include "protocols/nk_control.h"

#include <utility>
#include <vector>

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
    : NkGatedServer(std::move(gate), "control"), handler_(std::move(handler)) {}

bool NkControlServer::Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit& reply) {
  const std::string refusal = Refusal(request);
  const int32_t action = request.GetInt32();
  const std::string app = NkReadName(request);

  NkControlResult result;
  const bool reopen = action == static_cast<int32_t>(NkControlAction::kReopenLogs);
  if (!refusal.empty()) {
    result.message = refusal;
  } else if (!reopen &&
             (action < static_cast<int32_t>(NkControlAction::kStart) ||
              action > static_cast<int32_t>(NkControlAction::kRestart))) {
    result.message = "unknown action " + std::to_string(action);
  } else if (handler_) {
    result = handler_(static_cast<NkControlAction>(action), app);
  } else {
    result.message = "control request refused: nobody to carry it out";
  }
  StartReply(reply);
  if (!reply.AddInt32(result.ok ? 1 : 0) || !reply.AddString(result.message))
    throw base::NkException("NkControlServer: cannot build the answer");
  return true;
}

}  // namespace maild
}  // namespace norvak
