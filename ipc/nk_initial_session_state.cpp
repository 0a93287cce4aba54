#include "nk_initial_session_state.h"

#include "nk_exception.h"
#include "nk_session.h"
#include "nk_session_state_table.h"

namespace norvak {
namespace ipc {

std::unique_ptr<NkSessionState> NkInitialSessionState::Copy() const {
  return std::make_unique<NkInitialSessionState>(*this);
}

void NkInitialSessionState::Open(NkSession& session, const std::vector<std::string>& addresses) {
  if (!session.GetPoolManager().Init(addresses)) {
    throw base::NkException("SessionState::Open - cannot initialize connections pool");
  }
  session.SetState(NkSessionStateTable::Opened());
}

void NkInitialSessionState::Terminate(NkSession& session) {
  session.SetState(NkSessionStateTable::Terminal());
}

std::string NkInitialSessionState::GetName() const { return "Initial State"; }

}  // namespace ipc
}  // namespace norvak
