#include "protocols/nk_stop_app.h"

namespace norvak {
namespace maild {

NkStopAppClient::NkStopAppClient(const std::string& appName, int32_t pid)
    : app_name_(appName), pid_(pid) {}

std::unique_ptr<ipc::NkDdpUnit> NkStopAppClient::CreateUnit() {
  return std::make_unique<ipc::NkDdpUnit>();
}

bool NkStopAppClient::MakeRequest(ipc::NkDdpUnit& request) {
  return request.AddString(app_name_) && request.AddInt32(pid_);
}

bool NkStopAppClient::ProcessReply(ipc::NkDdpUnit&) { return true; }

NkStopAppServer::NkStopAppServer(size_t capacity) : queue_(capacity) {}

std::unique_ptr<ipc::NkDdpUnit> NkStopAppServer::CreateUnit() {
  return std::make_unique<ipc::NkDdpUnit>();
}

bool NkStopAppServer::Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit&) {
  Request r;
  r.appName = request.GetString();
  r.pid = request.GetInt32();
  r.remote = request.GetRemoteAddressAsString();
  queue_.Push(std::move(r));
  return true;
}

}  // namespace maild
}  // namespace norvak
