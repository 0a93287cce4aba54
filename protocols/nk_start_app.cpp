#include "protocols/nk_start_app.h"

namespace norvak {
namespace maild {

NkStartAppClient::NkStartAppClient(const std::string& appName, int32_t pid,
                                   const std::string& permissions, const std::string& arguments)
    : app_name_(appName), pid_(pid), permissions_(permissions), arguments_(arguments) {}

std::unique_ptr<ipc::NkDdpUnit> NkStartAppClient::CreateUnit() {
  return std::make_unique<ipc::NkDdpUnit>();
}

bool NkStartAppClient::MakeRequest(ipc::NkDdpUnit& request) {
  return request.AddString(app_name_) && request.AddInt32(pid_) &&
         request.AddString(permissions_) && request.AddString(arguments_);
}

bool NkStartAppClient::ProcessReply(ipc::NkDdpUnit&) { return true; }

NkStartAppServer::NkStartAppServer(size_t capacity) : queue_(capacity) {}

std::unique_ptr<ipc::NkDdpUnit> NkStartAppServer::CreateUnit() {
  return std::make_unique<ipc::NkDdpUnit>();
}

bool NkStartAppServer::Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit&) {
  Request r;
  r.appName = request.GetString();
  r.pid = request.GetInt32();
  r.permissions = request.GetString();
  r.arguments = request.GetString();
  r.remote = request.GetRemoteAddressAsString();
  queue_.Push(std::move(r));
  return true;
}

}  // namespace maild
}  // namespace norvak
