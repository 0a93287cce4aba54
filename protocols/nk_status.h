#ifndef NORVAK_PROTOCOLS_NK_STATUS_H_
#define NORVAK_PROTOCOLS_NK_STATUS_H_

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

// Status (8300): what the monitor supervises, for administrators.
//
// Request: int32 count, then that many application names (strings); no
// name at all asks for every application.
// Answer: int32 ok (0/1), string message (the reason when not ok), int32
// application count, then per application:
//   string name, string full name, int32 running (0/1), int32 stopped by
//   the administrator (0/1), int32 count + that many dependency names,
//   int32 component count, then per component:
//     string name, int32 pid (-1 before any), string state, int64 start
//     time, int32 restarts, int64 next restart try, int64 last fault time,
//     string last fault cause.
// An ok answer's message is kStatusTrailers when, after the last
// application, int32 count + that many int32 exit statuses follow, one per
// component in the order above (-1 for none). An older client ignores the
// message of an ok answer and stops before them; an older monitor's empty
// message tells a newer client not to wait for them (the wire has no
// frame that would tell it).
// A monitor with health checks adds one more int32 to that count, after the
// exit statuses: kHealthTrailerMark. An older client reads it as a surplus
// exit status and drops it, and stops reading there; a newer client that
// finds it reads, per component in the same order: string the last STATUS=
// text of its notification socket, int32 check count, then per check:
// string the check ("TCP host:port", "EXEC \"command\"", "watchdog"),
// string result ("ok", "failed", "pending"), int64 time of the result,
// int32 failures in a row, string last error. Without the mark (an older
// monitor) nothing follows.
// Applications come in start order, dependencies first.
// Times are seconds since the epoch, 0 for none. The states are the
// k*State texts below; a client shows one it does not know as it is.
struct NkCheckStatus {
  std::string check;
  std::string result;
  int64_t time = 0;
  int32_t failures = 0;
  std::string error;
};

struct NkCompStatus {
  std::string name;
  int32_t pid = -1;
  std::string state;
  int64_t startTime = 0;
  int32_t restarts = 0;
  int64_t nextTry = 0;
  int64_t lastFaultTime = 0;
  std::string lastFaultCause;
  int32_t exitStatus = -1;  // an exited component's
  std::vector<NkCheckStatus> checks;
  std::string notifyStatus;
};

struct NkAppStatus {
  std::string name;
  std::string fullName;
  bool running = false;
  bool adminStopped = false;
  std::vector<std::string> dependencies;
  std::vector<NkCompStatus> components;
};

struct NkStatusResult {
  bool ok = false;
  std::string message;
  std::vector<NkAppStatus> apps;
};

extern const char kRunningState[];     // "running"
extern const char kStoppedState[];     // "stopped"
extern const char kFailedState[];      // "failed"
extern const char kWaitingState[];     // "waiting"  (for a restart try)
extern const char kGivenUpState[];     // "given up"
extern const char kStartingState[];    // "starting"
extern const char kStatusTrailers[];   // "trailers: exit status"
extern const char kExitedState[];      // "exited"  (by itself, not restarted)

// Strings a peer announces longer than this are no names: the request is
// dropped instead of the server allocating what it was told.
constexpr uint32_t kMaxNameLength = 4096;
constexpr int32_t kMaxNames = 4096;
// "HLTH": health trailers follow the exit statuses.
constexpr int32_t kHealthTrailerMark = 0x484c5448;
constexpr int32_t kMaxChecks = 16;

// Reads one bounded string, or a count and that many; throws
// base::NkException on anything out of bounds.
std::string NkReadName(ipc::NkDdpUnit& unit);
std::vector<std::string> NkReadNames(ipc::NkDdpUnit& unit);
bool NkAddNames(ipc::NkDdpUnit& unit, const std::vector<std::string>& names);

class NkStatusClient : public ipc::NkClientProtocol {
 public:
  static constexpr uint32_t kId = 8300;

  explicit NkStatusClient(std::vector<std::string> apps = {}) : apps_(std::move(apps)) {}

  const NkStatusResult& GetResult() const { return result_; }

  std::unique_ptr<ipc::NkDdpUnit> CreateUnit() override;
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return kId; }
  bool MakeRequest(ipc::NkDdpUnit& request) override;
  bool ProcessReply(ipc::NkDdpUnit& reply) override;

 private:
  std::vector<std::string> apps_;
  NkStatusResult result_;
};

// The handler waits for the main loop, which may outlast the exchange's
// deadline: give the answer a reply timeout of its own.
class NkStatusServer : public NkGatedServer {
 public:
  static constexpr uint32_t kId = NkStatusClient::kId;

  using Handler = std::function<NkStatusResult(const std::vector<std::string>& apps)>;

  explicit NkStatusServer(Handler handler, Gate gate = Gate());

  uint32_t GetId() const override { return kId; }
  bool Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit& reply) override;

  static bool WriteResult(ipc::NkDdpUnit& reply, const NkStatusResult& result);
  static NkStatusResult ReadResult(ipc::NkDdpUnit& reply);

 private:
  Handler handler_;
};

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_STATUS_H_
