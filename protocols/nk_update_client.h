#ifndef NORVAK_PROTOCOLS_NK_UPDATE_CLIENT_H_
#define NORVAK_PROTOCOLS_NK_UPDATE_CLIENT_H_

#include <cstdint>
#include <memory>
#include <string>

#include "ipc/nk_client_protocol.h"
#include "ipc/nk_ddp_unit.h"

namespace norvak {
namespace maild {

// How long the monitor lets a package's pre-update script run before it
// kills it. The answer comes only after the script, so a client waits at
// least this long (plus the server's own time-out) for it.
constexpr int kPreUpdateLimitSeconds = 300;

// Asks the monitor to run an unpacked update package's pre-update script
// now and its post-update script later; the answer is the pre-update result.
class NkUpdateClient : public ipc::NkClientProtocol {
 public:
  static constexpr uint32_t kId = 8204;

  NkUpdateClient(std::string packageDir, std::string argument, std::string product);

  // The answer of the last exchange.
  bool IsOk() const { return ok_; }
  const std::string& GetMessage() const { return message_; }

  std::unique_ptr<ipc::NkDdpUnit> CreateUnit() override;
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return kId; }
  bool MakeRequest(ipc::NkDdpUnit& request) override;
  bool ProcessReply(ipc::NkDdpUnit& reply) override;

 private:
  std::string packageDir_;
  std::string argument_;
  std::string product_;
  bool ok_ = false;
  std::string message_;
};

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_UPDATE_CLIENT_H_
