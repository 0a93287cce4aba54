#ifndef NORVAK_IPC_NK_INET_SOCKET_ADDRESS_H_
#define NORVAK_IPC_NK_INET_SOCKET_ADDRESS_H_

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "nk_socket_address.h"

namespace norvak {
namespace ipc {

// "inet:" port "@" host. The port may be a service name and the host a name;
// both are resolved when parsed.
class NkInetSocketAddress : public NkSocketAddress {
 public:
  explicit NkInetSocketAddress(const std::string& spec = std::string());

  bool Parse() override;
  void UpdateText() override;
  bool CopyFrom(const NkIpcAddress& other) override;
  bool IsEqual(const NkIpcAddress& other) const override;
  socklen_t GetSockAddrLen() const override { return length_; }
  const sockaddr* GetSockAddr() const override;
  bool SetSockAddr(const sockaddr* addr, socklen_t length) override;
  NkIpcAddressPtr Clone() const override;

  // Raises std::invalid_argument when the host holds white space; otherwise
  // stores it and resolves it (resolve = false accepts numeric addresses
  // only). The port already set is kept.
  bool SetHost(const std::string& host, bool resolve = true);
  // A decimal number or a TCP service name.
  bool SetPort(const std::string& port);
  void SetPort(uint16_t port);
  uint16_t GetPort() const;
  bool Resolve(bool resolve = true);
  const std::string& GetHost() const { return host_; }

 private:
  sockaddr_storage storage_;
  socklen_t length_;
  std::string host_;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_INET_SOCKET_ADDRESS_H_
