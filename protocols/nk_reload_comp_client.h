#ifndef NORVAK_PROTOCOLS_NK_RELOAD_COMP_CLIENT_H_
#define NORVAK_PROTOCOLS_NK_RELOAD_COMP_CLIENT_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "ipc/nk_client_protocol.h"
#include "ipc/nk_ddp_unit.h"

namespace norvak {
namespace maild {

// Asks the monitor to pass SIGHUP to the components with these pids (its
// own pid reloads the monitor). The monitor answers nothing: a true result
// says that the request went out whole, not that anybody was signalled.
class NkReloadCompClient : public ipc::NkClientProtocol {
 public:
  static constexpr uint32_t kId = 8200;

  explicit NkReloadCompClient(std::vector<int32_t> pids = {});

  void SetPids(std::vector<int32_t> pids);
  const std::vector<int32_t>& GetPids() const { return pids_; }
  // True after an exchange that sent the request.
  bool GetResult() const { return result_; }

  std::unique_ptr<ipc::NkDdpUnit> CreateUnit() override;
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return kId; }
  bool MakeRequest(ipc::NkDdpUnit& request) override;
  bool ProcessReply(ipc::NkDdpUnit& reply) override;

 private:
  std::vector<int32_t> pids_;
  bool result_ = false;
};

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_RELOAD_COMP_CLIENT_H_
