#include "protocols/nk_reload_comp_client.h"

#include <utility>

namespace norvak {
namespace maild {

NkReloadCompClient::NkReloadCompClient(std::vector<int32_t> pids) : pids_(std::move(pids)) {}

void NkReloadCompClient::SetPids(std::vector<int32_t> pids) { pids_ = std::move(pids); }

std::unique_ptr<ipc::NkDdpUnit> NkReloadCompClient::CreateUnit() {
  return std::make_unique<ipc::NkDdpUnit>();
}

bool NkReloadCompClient::MakeRequest(ipc::NkDdpUnit& request) {
  result_ = false;
  if (!request.AddInt32(static_cast<int32_t>(pids_.size()))) return false;
  for (int32_t pid : pids_) {
    if (!request.AddInt32(pid)) return false;
  }
  return true;
}

bool NkReloadCompClient::ProcessReply(ipc::NkDdpUnit&) {
  result_ = true;
  return true;
}

}  // namespace maild
}  // namespace norvak
