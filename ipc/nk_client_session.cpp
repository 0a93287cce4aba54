#include "nk_client_session.h"

#include <cerrno>

#include "nk_exception.h"
#include "nk_ipc_error.h"
#include "nk_log.h"

namespace norvak {
namespace ipc {

NkClientSession::NkClientSession(std::shared_ptr<NkIfSessionPoolManager> pool_manager)
    : NkSession(std::move(pool_manager)) {}

NkClientSession::~NkClientSession() { Destroy(); }

bool NkClientSession::Execute(NkClientProtocol* protocol, const base::NkDeadline& deadline) {
  ExecutionScope scope(*this);
  if (protocol == nullptr) {
    base::NkLogError("C-Session::process - a null pointer to a protocol");
    throw base::NkParameterError("ClientSession::process", "theProto");
  }
  return Perform(protocol, deadline);
}

bool NkClientSession::Exchange(NkProtocol* protocol, const NkIfIPCPtr& connection,
                               const base::NkDeadline& deadline) {
  return ClientExchange(*static_cast<NkClientProtocol*>(protocol), connection, deadline);
}

bool NkClientSession::ClientExchange(NkClientProtocol& protocol, const NkIfIPCPtr& connection,
                                     const base::NkDeadline& deadline) {
  try {
    const uint32_t id = protocol.GetId();
    if (id != 0) {
      const unsigned char wire[4] = {
          static_cast<unsigned char>(id >> 24), static_cast<unsigned char>(id >> 16),
          static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id)};
      size_t count = sizeof(wire);
      if (!connection->Send(wire, count, deadline.Remaining())) {
        base::NkLogError("protocol error over " + connection->GetDescription());
        return false;
      }
    }
    std::unique_ptr<NkDdpUnit> request = protocol.CreateUnit();
    std::unique_ptr<NkDdpUnit> reply = protocol.CreateUnit();
    if (!request || !reply) {
      base::NkLogError("protocol error over " + connection->GetDescription());
      return false;
    }
    request->SetConnection(connection);
    reply->SetConnection(connection);
    request->SetDeadline(deadline);
    reply->SetDeadline(deadline);
    do {
      request->Clear();
      reply->Clear();
      if (!protocol.MakeRequest(*request) || !request->Flush() || !protocol.ProcessReply(*reply)) {
        base::NkLogError("protocol error over " + connection->GetDescription());
        return false;
      }
    } while (!protocol.IsFinished());
    // A lifetime of 0 keeps the connection for good.
    const int32_t lifetime = GetPoolManager().GetConnSettings().lifetime;
    if (lifetime > 0) connection->SetExpiry(static_cast<uint32_t>(lifetime));
    return true;
  } catch (const NkIpcErrorClosed& e) {
    // Closed by peer while reading, a hang-up seen while waiting to write, or
    // a reset or broken pipe, which the socket reports the same way.
    base::NkLogError(std::string("error in sending client information:") + e.what());
    return false;
  }
}

}  // namespace ipc
}  // namespace norvak
