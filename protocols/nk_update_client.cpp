#include "protocols/nk_update_client.h"

#include <utility>

namespace norvak {
namespace maild {

NkUpdateClient::NkUpdateClient(std::string packageDir, std::string argument, std::string product)
    : packageDir_(std::move(packageDir)),
      argument_(std::move(argument)),
      product_(std::move(product)) {}

std::unique_ptr<ipc::NkDdpUnit> NkUpdateClient::CreateUnit() {
  return std::make_unique<ipc::NkDdpUnit>();
}

bool NkUpdateClient::MakeRequest(ipc::NkDdpUnit& request) {
  ok_ = false;
  message_.clear();
  return request.AddString(packageDir_) && request.AddString(argument_) &&
         request.AddString(product_);
}

bool NkUpdateClient::ProcessReply(ipc::NkDdpUnit& reply) {
  ok_ = reply.GetInt32() != 0;
  message_ = reply.GetString();
  return true;
}

}  // namespace maild
}  // namespace norvak
