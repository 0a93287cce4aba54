#ifndef NORVAK_IPC_NK_IPC_ERROR_H_
#define NORVAK_IPC_NK_IPC_ERROR_H_

#include <string>

#include "nk_exception.h"

namespace norvak {
namespace ipc {

class NkIfIPC;

// A failure tied to one connection. The text is where, the connection's
// description (when a connection is given) and what, in that order.
class NkIpcError : public base::NkException {
 public:
  NkIpcError(const NkIfIPC* connection, const std::string& where, const std::string& what);
  NkIpcError(const std::string& where, const std::string& what);
};

// The connection is closed or unusable.
class NkIpcErrorClosed : public NkIpcError {
 public:
  NkIpcErrorClosed(const NkIfIPC* connection, const std::string& where);

 protected:
  NkIpcErrorClosed(const NkIfIPC* connection, const std::string& where, const std::string& what)
      : NkIpcError(connection, where, what) {}
};

// The peer closed the connection.
class NkIpcErrorClosedByPeer : public NkIpcErrorClosed {
 public:
  NkIpcErrorClosedByPeer(const NkIfIPC* connection, const std::string& where);
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_IPC_ERROR_H_
