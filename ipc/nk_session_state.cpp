#include "nk_session_state.h"

#include "nk_exception.h"
#include "nk_session.h"

namespace norvak {
namespace ipc {

void NkSessionState::Open(NkSession& session, const std::string& address) {
  Open(session, std::vector<std::string>{address});
}

void NkSessionState::Open(NkSession&, const std::vector<std::string>&) {}
void NkSessionState::Close(NkSession&) {}
void NkSessionState::Suspend(NkSession&) {}
void NkSessionState::Resume(NkSession&) {}
void NkSessionState::Terminate(NkSession&) {}
bool NkSessionState::WakeUp(NkSession&) { return false; }

NkIfIPCPtr NkSessionState::AquireConnection(NkSession&, const base::NkDeadline&) {
  throw base::NkException(GetName() + ": A session state doesn't allows to aquire connections");
}

void NkSessionState::ReleaseConnection(NkSession&, const NkIfIPCPtr&) {
  throw base::NkException(GetName() + ": A session state doesn't allows to release connections");
}

bool NkSessionState::AppendStatistic(NkSession& session, const std::string& path) {
  return session.GetPoolManager().AppendStatistic(path);
}

std::string NkSessionState::GetName() const { return "Abstract Base State"; }

}  // namespace ipc
}  // namespace norvak
