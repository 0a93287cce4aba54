#include "nk_opened_session_state.h"

#include "nk_exception.h"
#include "nk_session.h"
#include "nk_session_state_table.h"

namespace norvak {
namespace ipc {

std::unique_ptr<NkSessionState> NkOpenedSessionState::Copy() const {
  return std::make_unique<NkOpenedSessionState>(*this);
}

void NkOpenedSessionState::Open(NkSession& session, const std::vector<std::string>& addresses) {
  if (!session.GetPoolManager().Reinit(addresses)) {
    throw base::NkException("OpenedSessionState::Reopen - cannot reinit connections pool");
  }
  session.SetState(NkSessionStateTable::Opened());
}

void NkOpenedSessionState::Close(NkSession& session) {
  if (!session.GetPoolManager().Close()) {
    throw base::NkException("SessionState::Close - cannot close connections pool");
  }
  session.SetState(NkSessionStateTable::Closed());
}

void NkOpenedSessionState::Suspend(NkSession& session) {
  if (!session.GetPoolManager().Suspend()) {
    throw base::NkException("OpenedSessionState::Close - cannot suspend connections pool");
  }
  session.SetState(NkSessionStateTable::Suspended());
}

void NkOpenedSessionState::Terminate(NkSession& session) {
  // The session is going away whatever the pool says.
  session.GetPoolManager().Close();
  session.SetState(NkSessionStateTable::Terminal());
}

bool NkOpenedSessionState::WakeUp(NkSession& session) {
  return session.GetPoolManager().WakeUpAll();
}

NkIfIPCPtr NkOpenedSessionState::AquireConnection(NkSession& session,
                                                  const base::NkDeadline& limit) {
  return session.GetPoolManager().AquireConnection(limit);
}

void NkOpenedSessionState::ReleaseConnection(NkSession& session, const NkIfIPCPtr& connection) {
  session.GetPoolManager().ReleaseConnection(connection);
}

std::string NkOpenedSessionState::GetName() const { return "Opened State"; }

}  // namespace ipc
}  // namespace norvak
