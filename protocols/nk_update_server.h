#ifndef NORVAK_PROTOCOLS_NK_UPDATE_SERVER_H_
#define NORVAK_PROTOCOLS_NK_UPDATE_SERVER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ipc/nk_ddp_unit.h"
#include "protocols/nk_gated_server.h"

namespace norvak {
namespace maild {

// What an update request is answered with.
struct NkUpdateResult {
  bool ok = false;
  std::string message;
};

// Serves "install this unpacked update package": three strings in (package
// directory, an argument for its scripts, product), ok and a message out.
// The request must arrive within the exchange's deadline, but the handler
// runs the package's script and may take longer: give the answer a reply
// timeout of its own. A refused request is still read to its end (without
// keeping it).
class NkUpdateServer : public NkGatedServer {
 public:
  static constexpr uint32_t kId = 8204;
  // Longer than any path or product name; a longer string is skipped as it
  // arrives, never held, and the request is answered as failed.
  static constexpr uint32_t kMaxStringLength = 65536;

  using Handler = std::function<NkUpdateResult(
      const std::string& packageDir, const std::string& argument, const std::string& product)>;

  explicit NkUpdateServer(Handler handler, Gate gate = Gate());

  uint32_t GetId() const override { return kId; }
  bool Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit& reply) override;

 private:
  Handler handler_;
};

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_UPDATE_SERVER_H_
