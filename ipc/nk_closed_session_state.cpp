#include "nk_closed_session_state.h"

#include "nk_exception.h"
#include "nk_session.h"

namespace norvak {
namespace ipc {

std::unique_ptr<NkSessionState> NkClosedSessionState::Copy() const {
  return std::make_unique<NkClosedSessionState>(*this);
}

NkIfIPCPtr NkClosedSessionState::AquireConnection(NkSession&, const base::NkDeadline&) {
  throw base::NkSessionClosed("session has been closed: thread has been canceled");
}

void NkClosedSessionState::ReleaseConnection(NkSession& session, const NkIfIPCPtr& connection) {
  session.GetPoolManager().CloseConnection(connection);
}

std::string NkClosedSessionState::GetName() const { return "Closed State"; }

}  // namespace ipc
}  // namespace norvak
