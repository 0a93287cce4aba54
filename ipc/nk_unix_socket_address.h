#ifndef NORVAK_IPC_NK_UNIX_SOCKET_ADDRESS_H_
#define NORVAK_IPC_NK_UNIX_SOCKET_ADDRESS_H_

#include <sys/socket.h>
#include <sys/un.h>

#include <string>

#include "nk_socket_address.h"

namespace norvak {
namespace ipc {

// "unix:" path or "local:" path; the text form is always "local:" path.
class NkUnixSocketAddress : public NkSocketAddress {
 public:
  explicit NkUnixSocketAddress(const std::string& spec = std::string());

  bool Parse() override;
  void UpdateText() override;
  bool CopyFrom(const NkIpcAddress& other) override;
  bool IsEqual(const NkIpcAddress& other) const override;
  socklen_t GetSockAddrLen() const override;
  const sockaddr* GetSockAddr() const override;
  bool SetSockAddr(const sockaddr* addr, socklen_t length) override;
  NkIpcAddressPtr Clone() const override;

  const char* GetPath() const { return path_.c_str(); }
  // False when the path does not fit a system socket address.
  bool SetPath(const std::string& path);

 private:
  std::string path_;
  sockaddr_un addr_;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_UNIX_SOCKET_ADDRESS_H_
