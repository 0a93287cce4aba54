#ifndef NORVAK_IPC_NK_INITIAL_SESSION_STATE_H_
#define NORVAK_IPC_NK_INITIAL_SESSION_STATE_H_

#include "nk_session_state.h"

namespace norvak {
namespace ipc {

// A session that has never been opened: it can only be opened or ended.
class NkInitialSessionState : public NkSessionState {
 public:
  std::unique_ptr<NkSessionState> Copy() const override;
  using NkSessionState::Open;
  void Open(NkSession& session, const std::vector<std::string>& addresses) override;
  void Terminate(NkSession& session) override;
  std::string GetName() const override;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_INITIAL_SESSION_STATE_H_
