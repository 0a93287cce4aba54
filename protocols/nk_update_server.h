#ifndef NORVAK_PROTOCOLS_NK_UPDATE_SERVER_H_
#define NORVAK_PROTOCOLS_NK_UPDATE_SERVER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ipc/nk_ddp_unit.h"
#include "ipc/nk_if_ipc.h"
#include "ipc/nk_server_protocol.h"
#include "ipc/nk_timeout.h"

namespace norvak {
namespace maild {

// What an update request is answered with.
struct NkUpdateResult {
  bool ok = false;
  std::string message;
};

// Serves "install this unpacked update package": three strings in (package
// directory, an argument for its scripts, product), ok and a message out.
class NkUpdateServer : public ipc::NkServerProtocol {
 public:
  static constexpr uint32_t kId = 8204;
  // Longer than any path or product name; a longer string is skipped as it
  // arrives, never held, and the request is answered as failed.
  static constexpr uint32_t kMaxStringLength = 65536;

  using Handler = std::function<NkUpdateResult(
      const std::string& packageDir, const std::string& argument, const std::string& product)>;
  // Asked before the request is read: an empty answer admits the peer, any
  // other text refuses it and becomes the failed answer's message. A refused
  // request is still read to its end (without keeping it), so that the peer
  // gets its answer on a connection in step.
  using Gate = std::function<std::string(const ipc::NkIfIPC& connection)>;

  explicit NkUpdateServer(Handler handler, Gate gate = Gate());

  // The request must arrive within the exchange's deadline, but the handler
  // runs the package's script and may take longer: the answer then gets this
  // much time of its own. Infinite (the default) keeps the exchange's deadline.
  void SetReplyTimeout(const base::NkTimeout& timeout) { reply_timeout_ = timeout; }

  std::unique_ptr<ipc::NkDdpUnit> CreateUnit() override;
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return kId; }
  bool Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit& reply) override;

 private:
  Handler handler_;
  Gate gate_;
  base::NkTimeout reply_timeout_;
};

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_UPDATE_SERVER_H_
