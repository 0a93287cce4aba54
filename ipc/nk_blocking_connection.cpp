#include "nk_blocking_connection.h"

#include <exception>

#include "nk_session.h"

namespace norvak {
namespace ipc {
namespace Connection {

BlockingConnection::BlockingConnection(NkSession& session, NkIfIPCPtr connection)
    : session_(session),
      connection_(std::move(connection)),
      exceptions_(std::uncaught_exceptions()) {}

BlockingConnection::~BlockingConnection() {
  if (!connection_) return;
  // A stream left by an exception is at an unknown position: never reuse it.
  if (std::uncaught_exceptions() > exceptions_) {
    session_.DiscardConnection(connection_);
  } else {
    session_.ReturnConnection(connection_);
  }
}

void BlockingConnection::Discard() {
  if (!connection_) return;
  NkIfIPCPtr connection = std::move(connection_);
  connection_.reset();
  session_.DiscardConnection(connection);
}

}  // namespace Connection
}  // namespace ipc
}  // namespace norvak
