#ifndef NORVAK_IPC_NK_CLOSED_SESSION_STATE_H_
#define NORVAK_IPC_NK_CLOSED_SESSION_STATE_H_

#include "nk_initial_session_state.h"

namespace norvak {
namespace ipc {

// A closed session can be opened again; until then callers are turned away
// and connections still out are closed when they come back.
class NkClosedSessionState : public NkInitialSessionState {
 public:
  std::unique_ptr<NkSessionState> Copy() const override;
  NkIfIPCPtr AquireConnection(NkSession& session, const base::NkDeadline& limit) override;
  void ReleaseConnection(NkSession& session, const NkIfIPCPtr& connection) override;
  std::string GetName() const override;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_CLOSED_SESSION_STATE_H_
