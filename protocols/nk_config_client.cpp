#include "protocols/nk_config_client.h"

#include <unistd.h>

#include <algorithm>

#include "ipc/nk_exception.h"

namespace norvak {
namespace maild {

namespace {

// Every string costs its length field on the wire whatever it holds.
constexpr size_t kLengthField = 4;
// A string is read in pieces: the first small, each next at most as big as
// what has arrived so far, so the buffer never runs far ahead of the data.
constexpr size_t kFirstChunk = 4096;
constexpr size_t kMaxChunk = 64 * 1024;

}  // namespace

NkConfigClient::NkConfigClient(uint32_t requestNumber, const std::string& clientName, int32_t pid,
                               bool extended)
    : request_number_(requestNumber),
      client_name_(clientName),
      pid_(pid != 0 ? pid : static_cast<int32_t>(getpid())),
      extended_(extended) {}

NkConfigClient::~NkConfigClient() = default;

std::unique_ptr<ipc::NkDdpUnit> NkConfigClient::CreateUnit() {
  return std::make_unique<ipc::NkDdpUnit>();
}

bool NkConfigClient::MakeRequest(ipc::NkDdpUnit& request) {
  return request.AddInt32(extended_ ? kExtendedRequestType : kRequestType) &&
         request.AddInt32(static_cast<int32_t>(request_number_)) &&
         request.AddString(client_name_) && request.AddInt32(pid_);
}

std::string NkConfigClient::ReadString(ipc::NkDdpUnit& reply, size_t& budget) {
  if (budget < kLengthField) {
    throw base::NkException("ConfigClient::ParseResponse - reply exceeds " +
                            std::to_string(reply_limit_) + " bytes");
  }
  budget -= kLengthField;
  const uint32_t length = static_cast<uint32_t>(reply.GetInt32());
  if (length > budget) {
    throw base::NkException("ConfigClient::ParseResponse - string of " + std::to_string(length) +
                            " bytes exceeds the reply limit");
  }
  budget -= length;
  std::string value;
  size_t received = 0;
  while (received < length) {
    const size_t piece =
        std::min<size_t>({length - received, std::max(kFirstChunk, received), kMaxChunk});
    value.resize(received + piece);
    if (!reply.GetBuffer(&value[received], static_cast<uint32_t>(piece))) {
      throw base::NkException("ConfigClient::ParseResponse - string cut short");
    }
    received += piece;
  }
  return value;
}

bool NkConfigClient::ProcessReply(ipc::NkDdpUnit& reply) {
  results_.clear();
  const int32_t type = reply.GetInt32();
  if (type != kReplyType) {
    throw base::NkException("ConfigClient::invalid response type ->" + std::to_string(type));
  }
  response_code_ = reply.GetInt32();
  if (response_code_ != kOkCode) {
    throw base::NkException("ConfigClient::ParseResponse - invalid response code");
  }
  const int32_t count = reply.GetInt32();
  if (count < 0) {
    throw base::NkException("ConfigClient::ParseResponse - invalid count " +
                            std::to_string(count));
  }
  size_t budget = reply_limit_;
  for (int32_t i = 0; i < count; ++i) {
    std::string key = ReadString(reply, budget);
    std::string value = ReadString(reply, budget);
    results_[std::move(key)] = std::move(value);
  }
  return true;
}

}  // namespace maild
}  // namespace norvak
