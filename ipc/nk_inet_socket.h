#ifndef NORVAK_IPC_NK_INET_SOCKET_H_
#define NORVAK_IPC_NK_INET_SOCKET_H_

#include "nk_socket.h"

namespace norvak {
namespace ipc {

// A TCP stream socket.
class NkInetSocket : public NkSocket {
 public:
  NkInetSocket() = default;
  ~NkInetSocket() override = default;

  bool Create() override;
  bool SetOption(int option, int value) override;

 protected:
  NkIpcAddressPtr MakeAddress() const override;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_INET_SOCKET_H_
