#ifndef NORVAK_IPC_NK_SOCKET_ADDRESS_H_
#define NORVAK_IPC_NK_SOCKET_ADDRESS_H_

#include <string>

#include "nk_ipc_address.h"

namespace norvak {
namespace ipc {

// An address backed by a system socket address.
class NkSocketAddress : public NkIpcAddress {
 public:
  explicit NkSocketAddress(const std::string& spec) : NkIpcAddress(spec) {}
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_SOCKET_ADDRESS_H_
