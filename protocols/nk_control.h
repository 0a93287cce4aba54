#ifndef NORVAK_PROTOCOLS_NK_CONTROL_H_
#define NORVAK_PROTOCOLS_NK_CONTROL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ipc/nk_client_protocol.h"
#include "ipc/nk_ddp_unit.h"
#include "protocols/nk_gated_server.h"

namespace norvak {
namespace maild {

// Control (8301): start, stop or restart one application, or reload.
//
// Request: int32 action (NkControlAction), string application name; a
// reload then has int32 N and N int32 pids (its name is empty). Answer:
// int32 ok (0/1), string message (the reason when not ok). The answer comes
// once the action is done: the application started or its start failed, or
// it is stopped; the reload done, its message telling what changed.
//
// kReload is ReloadComp with an answer: SIGHUP to the supervised processes
// of the pids, the monitor's own pid (or none at all) reloading the monitor.
// It is judged as ReloadComp is; not ok when some pid was nobody's.
// kReopenLogs reopens the monitor's log file (the name is empty); an ok
// answer's message may say what there was to do.
enum class NkControlAction : int32_t {
  kStart = 1,
  kStop = 2,
  kRestart = 3,
  kReload = 4,
  kReopenLogs = 6,
};

struct NkControlResult {
  bool ok = false;
  std::string message;
};

class NkControlClient : public ipc::NkClientProtocol {
 public:
  static constexpr uint32_t kId = 8301;

  NkControlClient(NkControlAction action, std::string app)
      : action_(action), app_(std::move(app)) {}
  // A reload of these pids.
  explicit NkControlClient(std::vector<int32_t> pids)
      : action_(NkControlAction::kReload), pids_(std::move(pids)) {}

  const NkControlResult& GetResult() const { return result_; }

  std::unique_ptr<ipc::NkDdpUnit> CreateUnit() override;
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return kId; }
  bool MakeRequest(ipc::NkDdpUnit& request) override;
  bool ProcessReply(ipc::NkDdpUnit& reply) override;

 private:
  NkControlAction action_;
  std::string app_;
  std::vector<int32_t> pids_;
  NkControlResult result_;
};

// The handler waits for the main loop, which may outlast the exchange's
// deadline: give the answer a reply timeout of its own.
class NkControlServer : public NkGatedServer {
 public:
  static constexpr uint32_t kId = NkControlClient::kId;
  // As ReloadComp: no system runs more processes.
  static constexpr int32_t kMaxReloadPids = 65536;

  using Handler = std::function<NkControlResult(NkControlAction action, const std::string& app)>;
  // Whether the peer may reload these pids depends on what they are: the
  // handler judges that, after its own gate.
  using ReloadHandler = std::function<NkControlResult(const std::vector<int32_t>& pids,
                                                      const ipc::NkIfIPC& connection)>;

  explicit NkControlServer(Handler handler, Gate gate = Gate());
  // Without one a reload is refused.
  void SetReload(ReloadHandler handler, Gate gate) {
    reload_handler_ = std::move(handler);
    reload_gate_ = std::move(gate);
  }

  uint32_t GetId() const override { return kId; }
  bool Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit& reply) override;

 private:
  Handler handler_;
  ReloadHandler reload_handler_;
  Gate reload_gate_;
};

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_CONTROL_H_
