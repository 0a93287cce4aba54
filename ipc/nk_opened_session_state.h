#ifndef NORVAK_IPC_NK_OPENED_SESSION_STATE_H_
#define NORVAK_IPC_NK_OPENED_SESSION_STATE_H_

#include "nk_session_state.h"

namespace norvak {
namespace ipc {

// The working state: connections are handed out and taken back.
class NkOpenedSessionState : public NkSessionState {
 public:
  std::unique_ptr<NkSessionState> Copy() const override;
  using NkSessionState::Open;
  // Re-initialises the pool with the new addresses.
  void Open(NkSession& session, const std::vector<std::string>& addresses) override;
  void Close(NkSession& session) override;
  void Suspend(NkSession& session) override;
  void Terminate(NkSession& session) override;
  bool WakeUp(NkSession& session) override;
  NkIfIPCPtr AquireConnection(NkSession& session, const base::NkDeadline& limit) override;
  void ReleaseConnection(NkSession& session, const NkIfIPCPtr& connection) override;
  std::string GetName() const override;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_OPENED_SESSION_STATE_H_
