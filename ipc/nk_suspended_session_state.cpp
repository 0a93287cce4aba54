#include "nk_suspended_session_state.h"

#include "nk_exception.h"
#include "nk_session.h"
#include "nk_session_state_table.h"

namespace norvak {
namespace ipc {

std::unique_ptr<NkSessionState> NkSuspendedSessionState::Copy() const {
  return std::make_unique<NkSuspendedSessionState>(*this);
}

void NkSuspendedSessionState::Suspend(NkSession&) {}

void NkSuspendedSessionState::Resume(NkSession& session) {
  if (!session.GetPoolManager().Resume()) {
    throw base::NkException("SuspendedSessionState::Resume error");
  }
  session.SetState(NkSessionStateTable::Opened());
}

NkIfIPCPtr NkSuspendedSessionState::AquireConnection(NkSession& session,
                                                     const base::NkDeadline& limit) {
  if (session.WaitForStateChange(this, limit)) {
    throw base::NkNeedRecall("function should be recalled");
  }
  throw base::NkException(
      "SuspendedSessionState::AquireConnection - a waiting for a change of a state is failed");
}

std::string NkSuspendedSessionState::GetName() const { return "Suspended State"; }

}  // namespace ipc
}  // namespace norvak
