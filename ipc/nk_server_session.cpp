#include "nk_server_session.h"

#include <cerrno>
#include <string>

#include "nk_exception.h"
#include "nk_ipc_error.h"
#include "nk_log.h"

namespace norvak {
namespace ipc {

NkServerSession::NkServerSession(std::shared_ptr<NkIfSessionPoolManager> pool_manager)
    : NkSession(std::move(pool_manager)) {}

NkServerSession::~NkServerSession() { Destroy(); }

bool NkServerSession::Register(NkServerProtocol* protocol) {
  if (protocol == nullptr) {
    base::NkLogAlert("S-Session::Register - a null pointer to a protocol");
    throw base::NkParameterError("ServerSession::Register", "theProto", "null");
  }
  const uint32_t id = protocol->GetId();
  std::lock_guard<std::mutex> lock(protocols_mutex_);
  if (!protocols_.emplace(id, protocol).second) {
    base::NkLogAlert("S-Session::Register - a protocol (id=" + std::to_string(id) +
                     ") already has been registred");
    return false;
  }
  return true;
}

bool NkServerSession::Deregister(NkServerProtocol* protocol) {
  if (protocol == nullptr) {
    base::NkLogAlert("S-Session::Deregister - a null pointer to a protocol");
    throw base::NkParameterError("ServerSession::Deregister", "theProto", "null");
  }
  const uint32_t id = protocol->GetId();
  std::lock_guard<std::mutex> lock(protocols_mutex_);
  if (protocols_.erase(id) == 0) {
    base::NkLogAlert("S-Session::Deregister - a protocol (id=" + std::to_string(id) +
                     ") has not been registred");
    return false;
  }
  return true;
}

bool NkServerSession::Execute(NkServerProtocol* protocol, const base::NkDeadline& deadline) {
  ExecutionScope scope(*this);
  return Perform(protocol, deadline);
}

bool NkServerSession::Exchange(NkProtocol* protocol, const NkIfIPCPtr& connection,
                               const base::NkDeadline& deadline) {
  return ServerExchange(static_cast<NkServerProtocol*>(protocol), connection, deadline);
}

void NkServerSession::LogFailure(const std::string& text) const {
  base::NkLogProtocolError(text);
}

NkServerProtocol* NkServerSession::Choose(NkServerProtocol* given, const NkIfIPCPtr& connection,
                                          const base::NkDeadline& deadline) {
  if (given != nullptr && given->GetId() == 0) return given;
  if (given == nullptr) {
    std::lock_guard<std::mutex> lock(protocols_mutex_);
    if (protocols_.empty()) {
      base::NkLogProtocolError("server: supported protocols were not been defined");
      throw base::NkException("server: supported protocols were not been defined");
    }
  }
  unsigned char wire[4];
  size_t count = sizeof(wire);
  if (!connection->Receive(wire, count, deadline.Remaining())) return nullptr;
  const uint32_t id = (static_cast<uint32_t>(wire[0]) << 24) |
                      (static_cast<uint32_t>(wire[1]) << 16) |
                      (static_cast<uint32_t>(wire[2]) << 8) | static_cast<uint32_t>(wire[3]);
  if (given != nullptr) {
    if (id != given->GetId()) {
      const std::string received = std::to_string(id);
      const std::string supported = std::to_string(given->GetId());
      base::NkLogProtocolError("server: wrong protocol ID (received=" + received +
                               ", supported=" + supported + ")");
      throw base::NkException("server: wrong protocol ID (rcv=" + received + ", sup=" +
                              supported + ")");
    }
    return given;
  }
  std::lock_guard<std::mutex> lock(protocols_mutex_);
  auto found = protocols_.find(id);
  if (found == protocols_.end()) {
    base::NkLogProtocolError("server: unsupported protocol ID -> " + std::to_string(id) +
                             " from " + connection->GetDescription());
    throw base::NkException("server: unsupported protocol ID -> " + std::to_string(id));
  }
  return found->second;
}

bool NkServerSession::ServerExchange(NkServerProtocol* given, const NkIfIPCPtr& connection,
                                     const base::NkDeadline& deadline) {
  try {
    NkServerProtocol* protocol = Choose(given, connection, deadline);
    if (protocol == nullptr) {
      base::NkLogProtocolError("server: an protocol error over " + connection->GetDescription());
      return false;
    }
    std::unique_ptr<NkDdpUnit> request = protocol->CreateUnit();
    std::unique_ptr<NkDdpUnit> reply = protocol->CreateUnit();
    if (!request || !reply) {
      base::NkLogProtocolError("server: an protocol error over " + connection->GetDescription());
      return false;
    }
    request->SetConnection(connection);
    reply->SetConnection(connection);
    request->SetDeadline(deadline);
    reply->SetDeadline(deadline);
    do {
      request->Clear();
      reply->Clear();
      if (!protocol->Process(*request, *reply) || !reply->Flush()) {
        base::NkLogProtocolError("server: an protocol error over " + connection->GetDescription());
        return false;
      }
    } while (!protocol->IsFinished());
    return true;
  } catch (const NkIpcErrorClosed& e) {
    // Closed by peer while reading, a hang-up seen while waiting to write, or
    // a reset or broken pipe, which the socket reports the same way.
    base::NkLogProtocolError(std::string("error in receiving client information:") + e.what());
    return false;
  }
}

}  // namespace ipc
}  // namespace norvak
