#ifndef NORVAK_IPC_NK_SUSPENDED_SESSION_STATE_H_
#define NORVAK_IPC_NK_SUSPENDED_SESSION_STATE_H_

#include "nk_opened_session_state.h"

namespace norvak {
namespace ipc {

// An opened session that hands out nothing until it is resumed; callers wait
// for the state to change instead of failing.
class NkSuspendedSessionState : public NkOpenedSessionState {
 public:
  std::unique_ptr<NkSessionState> Copy() const override;
  void Suspend(NkSession& session) override;
  void Resume(NkSession& session) override;
  NkIfIPCPtr AquireConnection(NkSession& session, const base::NkDeadline& limit) override;
  std::string GetName() const override;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_SUSPENDED_SESSION_STATE_H_
