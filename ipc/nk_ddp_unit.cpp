#include "nk_ddp_unit.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>

#include "nk_exception.h"
#include "nk_log.h"

namespace norvak {
namespace ipc {

using base::NkException;
using base::NkParameterError;
using base::NkSystemError;

namespace {

// A received string grows with the bytes that actually arrive: the first
// read asks for at most kFirstChunk bytes and every further read at most as
// many as have come so far (capped), so a length the peer merely announces
// costs next to nothing.
constexpr size_t kFirstChunk = 4096;
constexpr size_t kMaxChunk = 1 << 20;
// Room reserved up front for a received vector, whatever count it announces.
constexpr uint32_t kMaxVectorReserve = 64;

void DebugEntry(const char* operation) {
  if (base::NkLogEnabled(base::NK_LOG_DEBUG)) {
    base::NkLogDebug(std::string("DdpUnit::") + operation + "()");
  }
}

// Only regular files have a size that matches what can be sent; for
// anything else the announced size and the bytes would disagree.
int StatRegularFile(const std::string& path, struct stat* status) {
  if (stat(path.c_str(), status) != 0) return errno;
  if (S_ISDIR(status->st_mode)) return EISDIR;
  if (!S_ISREG(status->st_mode)) return EINVAL;
  return 0;
}

}  // namespace

NkDdpUnit::NkDdpUnit() : deadline_(base::kNkInfiniteTimeout) {}

NkDdpUnit::~NkDdpUnit() = default;

bool NkDdpUnit::SetConnection(const NkIfIPCPtr& connection) {
  connection_ = connection;
  return true;
}

NkIfIPCPtr NkDdpUnit::GetConnection() const { return connection_; }

bool NkDdpUnit::SetDeadline(const base::NkDeadline& deadline) {
  deadline_ = deadline;
  return true;
}

bool NkDdpUnit::Clear() {
  data_.clear();
  return true;
}

NkIfIPC& NkDdpUnit::Connection(const char* where) const {
  if (!connection_) throw NkParameterError(std::string("DdpUnit::") + where, "connection", "null");
  return *connection_;
}

bool NkDdpUnit::Push() {
  DebugEntry("Push");
  NkIfIPC& connection = Connection("Push");
  if (data_.empty()) return true;
  if (!connection.Send(data_, deadline_.Remaining())) throw NkException("Push: Send");
  data_.clear();
  return true;
}

bool NkDdpUnit::Flush() { return Push(); }

const std::string& NkDdpUnit::GetData() const { return data_; }

bool NkDdpUnit::AddBool(bool value) { return AddInt32(value ? 1 : 0); }

bool NkDdpUnit::AddInt32(int32_t value) {
  const uint32_t bits = static_cast<uint32_t>(value);
  const char bytes[4] = {static_cast<char>(bits >> 24), static_cast<char>(bits >> 16),
                         static_cast<char>(bits >> 8), static_cast<char>(bits)};
  data_.append(bytes, sizeof(bytes));
  return true;
}

bool NkDdpUnit::AddInt64(int64_t value) {
  const uint64_t bits = static_cast<uint64_t>(value);
  AddInt32(static_cast<int32_t>(static_cast<uint32_t>(bits >> 32)));
  return AddInt32(static_cast<int32_t>(static_cast<uint32_t>(bits)));
}

bool NkDdpUnit::AddString(const std::string& value) {
  return AddBuffer(value.data(), value.size());
}

bool NkDdpUnit::AddBuffer(const void* data, size_t length) {
  // The length field is 32 bits: a longer value would announce a wrapped
  // length and then overrun it, and the peer would read garbage.
  if (length > UINT32_MAX) {
    throw NkParameterError("DdpUnit::AddBuffer", "length", std::to_string(length));
  }
  if (data == nullptr && length != 0) throw NkParameterError("DdpUnit::AddBuffer", "buffer", "null");
  data_.reserve(data_.size() + length + 4);
  AddInt32(static_cast<int32_t>(static_cast<uint32_t>(length)));
  data_.append(static_cast<const char*>(data), length);
  return true;
}

bool NkDdpUnit::AddVector(const std::vector<std::string>& values) {
  if (values.size() > UINT32_MAX) {
    throw NkParameterError("DdpUnit::AddVector", "count", std::to_string(values.size()));
  }
  AddInt32(static_cast<int32_t>(static_cast<uint32_t>(values.size())));
  for (const std::string& value : values) {
    if (!AddString(value)) return false;
  }
  return true;
}

bool NkDdpUnit::AddRaw(const std::string& bytes) {
  data_.append(bytes);
  return true;
}

bool NkDdpUnit::AddRaw(const void* data, size_t length) {
  if (data == nullptr && length != 0) throw NkParameterError("DdpUnit::AddRaw", "buffer", "null");
  data_.append(static_cast<const char*>(data), length);
  return true;
}

bool NkDdpUnit::AddFile(const std::string& path, bool local) {
  DebugEntry("AddFile");
  data_.reserve(data_.size() + path.size() + 8);
  AddString(path);
  if (local) {
    if (!AddInt32(0)) throw NkException("AddFile: AddInt32 in local mode");
    return true;
  }
  struct stat status;
  const int error = StatRegularFile(path, &status);
  if (error != 0) {
    if (base::NkLogEnabled(base::NK_LOG_ERROR)) {
      base::NkLogError("AddFile(" + path + " 0) - failed to stat file: " + base::NkErrorText(error));
    }
    throw NkSystemError("AddFile(" + path + ")", error);
  }
  // Sizes travel as 32 bits; exactly as many bytes as announced follow.
  const uint32_t size = static_cast<uint32_t>(status.st_size);
  if (!AddInt32(static_cast<int32_t>(size))) throw NkException("AddFile: AddInt32");
  Push();
  if (!Connection("AddFile").SendFile(path, 0, size, deadline_.Remaining())) {
    throw NkException("AddFile: SendFile");
  }
  return true;
}

bool NkDdpUnit::SendFile(const std::string& path, uint32_t offset, uint32_t length) {
  DebugEntry("SendFile");
  Push();
  return Connection("SendFile").SendFile(path, offset, length, deadline_.Remaining());
}

bool NkDdpUnit::AddStringFromFile(const std::string& path) {
  DebugEntry("AddStringFromFile");
  struct stat status;
  const int error = StatRegularFile(path, &status);
  if (error != 0) {
    if (base::NkLogEnabled(base::NK_LOG_ERROR)) {
      base::NkLogError("AddStringFromFile(" + path + ") - failed to stat file: " +
                       base::NkErrorText(error));
    }
    throw NkSystemError("AddStringFromFile(" + path + ")", error);
  }
  const uint32_t size = static_cast<uint32_t>(status.st_size);
  if (!AddInt32(static_cast<int32_t>(size))) throw NkException("AddStringFromFile: AddInt32");
  Push();
  if (!Connection("AddStringFromFile").SendFile(path, 0, size, deadline_.Remaining())) {
    throw NkException("AddStringFromFile: SendFile");
  }
  return true;
}

bool NkDdpUnit::AddUnit(const NkDdpUnit& other) { return AddRaw(other.GetData()); }

bool NkDdpUnit::GetBool() { return GetInt32() != 0; }

bool NkDdpUnit::ReceiveExactly(void* buffer, size_t length) {
  size_t count = length;
  return connection_->Receive(buffer, count, deadline_.Remaining()) && count == length;
}

int32_t NkDdpUnit::GetInt32() {
  DebugEntry("GetInt32");
  Connection("GetInt32");
  unsigned char bytes[4];
  if (!ReceiveExactly(bytes, sizeof(bytes))) throw NkException("GetInt32: Receive");
  return static_cast<int32_t>(static_cast<uint32_t>(bytes[0]) << 24 |
                              static_cast<uint32_t>(bytes[1]) << 16 |
                              static_cast<uint32_t>(bytes[2]) << 8 | bytes[3]);
}

int64_t NkDdpUnit::GetInt64() {
  DebugEntry("GetInt64");
  Connection("GetInt64");
  unsigned char bytes[8];
  if (!ReceiveExactly(bytes, sizeof(bytes))) throw NkException("GetInt64: Receive");
  uint64_t bits = 0;
  for (unsigned char byte : bytes) bits = bits << 8 | byte;
  return static_cast<int64_t>(bits);
}

std::string NkDdpUnit::GetString() {
  DebugEntry("GetString");
  Connection("GetString");
  const uint32_t length = static_cast<uint32_t>(GetInt32());
  std::string value;
  size_t received = 0;
  while (received < length) {
    const size_t chunk = std::min<size_t>(
        {length - received, std::max(kFirstChunk, received), kMaxChunk});
    value.resize(received + chunk);
    if (!ReceiveExactly(&value[received], chunk)) {
      throw NkException("NkDdpUnit::GetString: error in receiving string with length " +
                        std::to_string(length));
    }
    received += chunk;
  }
  return value;
}

void NkDdpUnit::GetVector(std::vector<std::string>& out) {
  DebugEntry("GetVector");
  Connection("GetVector");
  const uint32_t count = static_cast<uint32_t>(GetInt32());
  out.clear();
  out.reserve(std::min(count, kMaxVectorReserve));
  for (uint32_t i = 0; i < count; ++i) out.push_back(GetString());
}

bool NkDdpUnit::GetBuffer(void* buffer, uint32_t length) {
  DebugEntry("GetBuffer");
  if (!connection_ || buffer == nullptr) {
    throw NkParameterError("DdpUnit::GetBuffer(" + std::to_string(length) + ")",
                           buffer != nullptr ? "connection" : "buffer", "null");
  }
  size_t count = length;
  return connection_->Receive(buffer, count, deadline_.Remaining());
}

bool NkDdpUnit::GetBuffer(std::string& buffer) {
  DebugEntry("GetBuffer");
  if (!connection_) {
    throw NkParameterError("DdpUnit::GetBuffer(" + std::to_string(buffer.size()) + ")",
                           "connection", "null");
  }
  return connection_->Receive(buffer, deadline_.Remaining());
}

std::string NkDdpUnit::GetLocalAddressAsString() const {
  return Connection("GetLocalAddressAsString").GetLocalAddressAsString();
}

std::string NkDdpUnit::GetRemoteAddressAsString() const {
  return Connection("GetRemoteAddressAsString").GetRemoteAddressAsString();
}

}  // namespace ipc
}  // namespace norvak
