#include "nk_ipc_address.h"

#include <string.h>
#include <sys/socket.h>

namespace norvak {
namespace ipc {

bool NkIpcAddress::GetLocalSocketAddress(int fd) {
  sockaddr_storage storage;
  memset(&storage, 0, sizeof(storage));
  socklen_t length = sizeof(storage);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return false;
  return SetSockAddr(reinterpret_cast<sockaddr*>(&storage), length);
}

bool NkIpcAddress::GetRemoteSocketAddress(int fd) {
  sockaddr_storage storage;
  memset(&storage, 0, sizeof(storage));
  socklen_t length = sizeof(storage);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return false;
  return SetSockAddr(reinterpret_cast<sockaddr*>(&storage), length);
}

}  // namespace ipc
}  // namespace norvak
