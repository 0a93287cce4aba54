#include "protocols/nk_reload_comp_server.h"

#include <algorithm>
#include <utility>

#include "ipc/nk_log.h"

namespace norvak {
namespace maild {

NkReloadCompServer::NkReloadCompServer(Handler handler, Gate gate)
    : handler_(std::move(handler)), gate_(std::move(gate)) {}

std::unique_ptr<ipc::NkDdpUnit> NkReloadCompServer::CreateUnit() {
  return std::make_unique<ipc::NkDdpUnit>();
}

bool NkReloadCompServer::Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit&) {
  const ipc::NkIfIPCPtr connection = request.GetConnection();
  if (gate_ && (!connection || !gate_(*connection).empty())) return false;
  const int32_t count = request.GetInt32();
  if (count < 0 || count > kMaxPids) {
    base::NkLogError("ReloadComp: refused a request for " + std::to_string(count) + " pids");
    return false;
  }
  // Grown as the pids arrive: the count alone reserves nothing.
  std::vector<int32_t> pids;
  pids.reserve(static_cast<size_t>(std::min<int32_t>(count, 64)));
  for (int32_t i = 0; i < count; ++i) pids.push_back(request.GetInt32());
  return handler_ && handler_(pids, connection.get());
}

}  // namespace maild
}  // namespace norvak
