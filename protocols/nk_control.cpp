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
  if (!request.AddInt32(static_cast<int32_t>(action_)) || !request.AddString(app_)) return false;
  if (action_ != NkControlAction::kReload) return true;
  if (!request.AddInt32(static_cast<int32_t>(pids_.size()))) return false;
  for (int32_t pid : pids_)
    if (!request.AddInt32(pid)) return false;
  return true;
}

bool NkControlClient::ProcessReply(ipc::NkDdpUnit& reply) {
  result_.ok = reply.GetInt32() != 0;
  result_.message = reply.GetString();
  return true;
}

NkControlServer::NkControlServer(Handler handler, Gate gate)
    : NkGatedServer(std::move(gate), "control"), handler_(std::move(handler)) {}

bool NkControlServer::Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit& reply) {
  const int32_t action = request.GetInt32();
  const bool reload = action == static_cast<int32_t>(NkControlAction::kReload);
  // A reload is open to more peers than the other actions: its own gate.
  const ipc::NkIfIPCPtr connection = request.GetConnection();
  std::string refusal;
  if (!reload)
    refusal = Refusal(request);
  else if (!connection)
    refusal = "reload request refused: no connection";
  else if (reload_gate_)
    refusal = reload_gate_(*connection);
  const std::string app = NkReadName(request);
  std::vector<int32_t> pids;
  if (reload) {
    const int32_t count = request.GetInt32();
    if (count < 0 || count > kMaxReloadPids)
      throw base::NkException("control: a reload of " + std::to_string(count) + " pids refused");
    // Grown as the pids arrive: the count alone reserves nothing.
    for (int32_t i = 0; i < count; ++i) pids.push_back(request.GetInt32());
  }

  NkControlResult result;
  const bool reopen = action == static_cast<int32_t>(NkControlAction::kReopenLogs);
  if (!refusal.empty()) {
    result.message = refusal;
  } else if (reload) {
    if (reload_handler_)
      result = reload_handler_(pids, *connection);
    else
      result.message = "reload request refused: nobody to carry it out";
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
