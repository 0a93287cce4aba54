#ifndef NORVAK_PROTOCOLS_NK_LOGS_H_
#define NORVAK_PROTOCOLS_NK_LOGS_H_

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

// Logs (8303): the last lines an application's components wrote.
//
// Request: string application, string component ("" for all of them),
// int32 most lines, int64 after: only lines numbered above it, and of those
// the newest `most` (1 to kMaxLogLines; the server takes fewer as more).
// Answer: int32 ok (0/1), string message (the reason when not ok), int32
// line count, then per line: int64 time (seconds since the epoch), int32
// stream (1 standard output, 2 standard error), string component, string
// text; then int64 next: the number to send as `after` to get only newer
// lines, and int32 more (0/1): the answer was cut at kMaxLogsAnswerBytes
// and the lines after next are to be asked for at once.
// Lines come oldest first; the numbers are the monitor's, across all of
// its components, and start again with the monitor.
struct NkLogLine {
  int64_t time = 0;
  int32_t stream = 1;
  std::string component;
  std::string text;
};

struct NkLogsRequest {
  std::string app;
  std::string component;
  int32_t most = 10;
  int64_t after = 0;
};

struct NkLogsResult {
  bool ok = false;
  std::string message;
  std::vector<NkLogLine> lines;
  int64_t next = 0;
  bool more = false;
};

constexpr int32_t kMaxLogLines = 10000;
constexpr size_t kMaxLogsAnswerBytes = 256 * 1024;
constexpr int32_t kLogStdout = 1;
constexpr int32_t kLogStderr = 2;

class NkLogsClient : public ipc::NkClientProtocol {
 public:
  static constexpr uint32_t kId = 8303;

  explicit NkLogsClient(NkLogsRequest request) : request_(std::move(request)) {}

  const NkLogsResult& GetResult() const { return result_; }

  std::unique_ptr<ipc::NkDdpUnit> CreateUnit() override;
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return kId; }
  bool MakeRequest(ipc::NkDdpUnit& request) override;
  bool ProcessReply(ipc::NkDdpUnit& reply) override;

 private:
  NkLogsRequest request_;
  NkLogsResult result_;
};

// The handler waits for the main loop: give the answer a reply timeout of
// its own.
class NkLogsServer : public NkGatedServer {
 public:
  static constexpr uint32_t kId = NkLogsClient::kId;

  using Handler = std::function<NkLogsResult(const NkLogsRequest& request)>;

  explicit NkLogsServer(Handler handler, Gate gate = Gate());

  uint32_t GetId() const override { return kId; }
  bool Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit& reply) override;

  static bool WriteResult(ipc::NkDdpUnit& reply, const NkLogsResult& result);
  static NkLogsResult ReadResult(ipc::NkDdpUnit& reply);

 private:
  Handler handler_;
};

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_LOGS_H_
