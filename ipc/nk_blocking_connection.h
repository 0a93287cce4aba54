#ifndef NORVAK_IPC_NK_BLOCKING_CONNECTION_H_
#define NORVAK_IPC_NK_BLOCKING_CONNECTION_H_

#include "nk_if_ipc.h"

namespace norvak {
namespace ipc {

class NkSession;

namespace Connection {

// Holds the connection of one exchange and hands it back to the session
// when it goes out of scope: released for reuse after a normal exit, closed
// when an exception is leaving or after Discard().
class BlockingConnection {
 public:
  BlockingConnection(NkSession& session, NkIfIPCPtr connection);
  ~BlockingConnection();
  BlockingConnection(const BlockingConnection&) = delete;
  BlockingConnection& operator=(const BlockingConnection&) = delete;

  const NkIfIPCPtr& Get() const { return connection_; }
  // The exchange failed: the connection is closed now.
  void Discard();

 private:
  NkSession& session_;
  NkIfIPCPtr connection_;
  int exceptions_;
};

}  // namespace Connection
}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_BLOCKING_CONNECTION_H_
