#ifndef NORVAK_IPC_NK_TERMINAL_SESSION_STATE_H_
#define NORVAK_IPC_NK_TERMINAL_SESSION_STATE_H_

#include "nk_session_state.h"

namespace norvak {
namespace ipc {

// The session is being destroyed: everything is refused.
class NkTerminalSessionState : public NkSessionState {
 public:
  std::unique_ptr<NkSessionState> Copy() const override;
  void Open(NkSession& session, const std::string& address) override;
  void Open(NkSession& session, const std::vector<std::string>& addresses) override;
  void Close(NkSession& session) override;
  void Suspend(NkSession& session) override;
  void Resume(NkSession& session) override;
  void Terminate(NkSession& session) override;
  bool WakeUp(NkSession& session) override;
  NkIfIPCPtr AquireConnection(NkSession& session, const base::NkDeadline& limit) override;
  void ReleaseConnection(NkSession& session, const NkIfIPCPtr& connection) override;
  bool AppendStatistic(NkSession& session, const std::string& path) override;
  std::string GetName() const override;

 private:
  [[noreturn]] static void Refuse();
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_TERMINAL_SESSION_STATE_H_
