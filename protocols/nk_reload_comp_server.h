#ifndef NORVAK_PROTOCOLS_NK_RELOAD_COMP_SERVER_H_
#define NORVAK_PROTOCOLS_NK_RELOAD_COMP_SERVER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ipc/nk_ddp_unit.h"
#include "ipc/nk_if_ipc.h"
#include "ipc/nk_server_protocol.h"

namespace norvak {
namespace maild {

// Serves "reload these components": the request is a count and that many
// pids; nothing is answered. The handler's false, like a refused peer, drops
// the connection.
class NkReloadCompServer : public ipc::NkServerProtocol {
 public:
  static constexpr uint32_t kId = 8200;
  // No system runs more processes than this; a larger count is no request
  // but an attempt to make the server read forever.
  static constexpr int32_t kMaxPids = 65536;

  // Whether the peer may have these pids reloaded is the handler's to judge
  // as well: it depends on what the pids are.
  using Handler =
      std::function<bool(const std::vector<int32_t>& pids, const ipc::NkIfIPC* connection)>;
  // Asked before a byte of the request is read: an empty answer admits the
  // peer, any other text is the reason for refusing it.
  using Gate = std::function<std::string(const ipc::NkIfIPC& connection)>;

  explicit NkReloadCompServer(Handler handler, Gate gate = Gate());

  std::unique_ptr<ipc::NkDdpUnit> CreateUnit() override;
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return kId; }
  bool Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit& reply) override;

 private:
  Handler handler_;
  Gate gate_;
};

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_RELOAD_COMP_SERVER_H_
