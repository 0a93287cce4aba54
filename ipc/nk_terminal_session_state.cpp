#include "nk_terminal_session_state.h"

#include "nk_exception.h"

namespace norvak {
namespace ipc {

std::unique_ptr<NkSessionState> NkTerminalSessionState::Copy() const {
  return std::make_unique<NkTerminalSessionState>(*this);
}

void NkTerminalSessionState::Refuse() {
  throw base::NkSessionDestroyed(
      "TerminalSessionState: session has been deleted: thread has been canceled");
}

void NkTerminalSessionState::Open(NkSession&, const std::string&) { Refuse(); }
void NkTerminalSessionState::Open(NkSession&, const std::vector<std::string>&) { Refuse(); }
void NkTerminalSessionState::Close(NkSession&) { Refuse(); }
void NkTerminalSessionState::Suspend(NkSession&) { Refuse(); }
void NkTerminalSessionState::Resume(NkSession&) { Refuse(); }
void NkTerminalSessionState::Terminate(NkSession&) { Refuse(); }
bool NkTerminalSessionState::WakeUp(NkSession&) { Refuse(); }

NkIfIPCPtr NkTerminalSessionState::AquireConnection(NkSession&, const base::NkDeadline&) {
  Refuse();
}

void NkTerminalSessionState::ReleaseConnection(NkSession&, const NkIfIPCPtr&) { Refuse(); }

bool NkTerminalSessionState::AppendStatistic(NkSession&, const std::string&) { Refuse(); }

std::string NkTerminalSessionState::GetName() const { return "Terminal State"; }

}  // namespace ipc
}  // namespace norvak
