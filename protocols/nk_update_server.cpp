#include "protocols/nk_update_server.h"

#include <algorithm>
#include <utility>

#include "ipc/nk_exception.h"

namespace norvak {
namespace maild {

namespace {

// Reads one string value. It is kept only when `keep` is set and it is not
// longer than the limit; otherwise its bytes are read in small pieces and
// dropped. False when it was too long to keep.
bool ReadString(ipc::NkDdpUnit& request, bool keep, std::string* out) {
  const uint32_t length = static_cast<uint32_t>(request.GetInt32());
  const auto failed = [length] {
    return base::NkException("NkDdpUnit::GetString: error in receiving string with length " +
                             std::to_string(length));
  };
  if (keep && length <= NkUpdateServer::kMaxStringLength) {
    out->assign(length, '\0');
    if (length > 0 && !request.GetBuffer(*out)) throw failed();
    return true;
  }
  char scratch[4096];
  for (uint32_t left = length; left > 0;) {
    const uint32_t piece = std::min<uint32_t>(left, sizeof(scratch));
    if (!request.GetBuffer(scratch, piece)) throw failed();
    left -= piece;
  }
  return !keep;
}

}  // namespace

NkUpdateServer::NkUpdateServer(Handler handler, Gate gate)
    : NkGatedServer(std::move(gate), "update"), handler_(std::move(handler)) {}

bool NkUpdateServer::Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit& reply) {
  const std::string refusal = Refusal(request);
  std::string packageDir, argument, product;
  bool whole = true;
  for (std::string* field : {&packageDir, &argument, &product}) {
    whole = ReadString(request, refusal.empty() && whole, field) && whole;
  }

  NkUpdateResult result;
  if (!refusal.empty()) {
    result.message = refusal;
  } else if (!whole) {
    result.message = "update request refused: a request string is longer than " +
                     std::to_string(kMaxStringLength) + " bytes";
  } else if (handler_) {
    result = handler_(packageDir, argument, product);
  } else {
    result.message = "update request refused: no update procedure";
  }

  StartReply(reply);
  if (!reply.AddInt32(result.ok ? 1 : 0) || !reply.AddString(result.message)) {
    throw base::NkException("NkUpdateServer::BuildResponse error'");
  }
  return true;
}

}  // namespace maild
}  // namespace norvak
