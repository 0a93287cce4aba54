#include "protocols/nk_logs.h"

#include <algorithm>
#include <utility>

#include "ipc/nk_exception.h"
#include "protocols/nk_status.h"

namespace norvak {
namespace maild {

std::unique_ptr<ipc::NkDdpUnit> NkLogsClient::CreateUnit() {
  return std::make_unique<ipc::NkDdpUnit>();
}

bool NkLogsClient::MakeRequest(ipc::NkDdpUnit& request) {
  result_ = NkLogsResult();
  return request.AddString(request_.app) && request.AddString(request_.component) &&
         request.AddInt32(request_.most) && request.AddInt64(request_.after);
}

bool NkLogsClient::ProcessReply(ipc::NkDdpUnit& reply) {
  result_ = NkLogsServer::ReadResult(reply);
  return true;
}

NkLogsServer::NkLogsServer(Handler handler, Gate gate)
    : NkGatedServer(std::move(gate), "logs"), handler_(std::move(handler)) {}

bool NkLogsServer::Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit& reply) {
  const std::string refusal = Refusal(request);
  NkLogsRequest asked;
  asked.app = NkReadName(request);
  asked.component = NkReadName(request);
  asked.most = std::min(std::max(request.GetInt32(), 0), kMaxLogLines);
  asked.after = std::max<int64_t>(request.GetInt64(), 0);

  NkLogsResult result;
  if (!refusal.empty()) {
    result.message = refusal;
  } else if (handler_) {
    result = handler_(asked);
  } else {
    result.message = "logs request refused: nobody to answer it";
  }
  StartReply(reply);
  if (!WriteResult(reply, result)) throw base::NkException("NkLogsServer: cannot build the answer");
  return true;
}

bool NkLogsServer::WriteResult(ipc::NkDdpUnit& reply, const NkLogsResult& result) {
  if (!reply.AddInt32(result.ok ? 1 : 0) || !reply.AddString(result.message) ||
      !reply.AddInt32(static_cast<int32_t>(result.lines.size())))
    return false;
  for (const NkLogLine& line : result.lines) {
    if (!reply.AddInt64(line.time) || !reply.AddInt32(line.stream) ||
        !reply.AddString(line.component) || !reply.AddString(line.text))
      return false;
  }
  return reply.AddInt64(result.next) && reply.AddInt32(result.more ? 1 : 0);
}

NkLogsResult NkLogsServer::ReadResult(ipc::NkDdpUnit& reply) {
  NkLogsResult result;
  result.ok = reply.GetInt32() != 0;
  result.message = NkReadName(reply);
  const int32_t count = reply.GetInt32();
  if (count < 0 || count > kMaxLogLines)
    throw base::NkException("logs answer: bad count " + std::to_string(count));
  size_t bytes = 0;
  for (int32_t i = 0; i < count; ++i) {
    NkLogLine line;
    line.time = reply.GetInt64();
    line.stream = reply.GetInt32();
    line.component = NkReadName(reply);
    line.text = NkReadName(reply);
    bytes += line.component.size() + line.text.size();
    if (bytes > 4 * kMaxLogsAnswerBytes)
      throw base::NkException("logs answer: more than a monitor sends");
    result.lines.push_back(std::move(line));
  }
  result.next = reply.GetInt64();
  result.more = reply.GetInt32() != 0;
  return result;
}

}  // namespace maild
}  // namespace norvak
