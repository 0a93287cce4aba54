#include "nk_ipc_error.h"

#include "nk_if_ipc.h"

namespace norvak {
namespace ipc {

NkIpcError::NkIpcError(const NkIfIPC* connection, const std::string& where,
                       const std::string& what)
    : base::NkException(where + (connection != nullptr ? connection->GetDescription() : "") +
                        what) {}

NkIpcError::NkIpcError(const std::string& where, const std::string& what)
    : base::NkException(where + what) {}

NkIpcErrorClosed::NkIpcErrorClosed(const NkIfIPC* connection, const std::string& where)
    : NkIpcError(connection, where, "- closed") {}

NkIpcErrorClosedByPeer::NkIpcErrorClosedByPeer(const NkIfIPC* connection,
                                               const std::string& where)
    : NkIpcErrorClosed(connection, where, "- closed by peer") {}

}  // namespace ipc
}  // namespace norvak
