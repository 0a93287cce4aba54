#include "nk_inet_socket.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "nk_exception.h"
#include "nk_inet_socket_address.h"
#include "nk_log.h"

namespace norvak {
namespace ipc {

namespace {

bool IsIpv6(const NkIpcAddressPtr& address) {
  return address && address->GetFamily() == NkIpcAddress::kInet &&
         address->GetSockAddr()->sa_family == AF_INET6;
}

}  // namespace

bool NkInetSocket::Create() {
  // The descriptor follows the endpoint: a name that resolved to an IPv6
  // address cannot be reached (or bound) through an IPv4 socket.
  const NkIpcAddressPtr& endpoint = server_ ? local_ : remote_;
  const int domain = IsIpv6(endpoint) ? AF_INET6 : AF_INET;
  try {
    const int fd = socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw base::NkSystemError("InetSocket::Create", errno);
    SetHandle(fd);
    ApplyOptions();
    SetOption(SO_REUSEADDR, 1);
    if (server_ && local_ && local_->GetFamily() == NkIpcAddress::kInet) {
      if (bind(fd_.get(), local_->GetSockAddr(), local_->GetSockAddrLen()) != 0) {
        throw base::NkSystemError("InetSocket::Bind", errno);
      }
      bound_ = true;
      // Learn the port the system chose for port 0.
      GetLocalSocketAddress();
    }
  } catch (const base::NkException& e) {
    base::NkLogError("inet create " + GetDescription() + ") failed: " + e.what());
    Close();
    throw;
  }
  return true;
}

bool NkInetSocket::SetOption(int option, int value) {
  if (option != SO_REUSEADDR) return NkSocket::SetOption(option, value);
  if (setsockopt(fd_.get(), SOL_SOCKET, option, &value, sizeof(value)) != 0) {
    throw base::NkSystemError("InetSocket::SetOption(REUSEADDR)", errno);
  }
  return true;
}

NkIpcAddressPtr NkInetSocket::MakeAddress() const {
  return std::make_shared<NkInetSocketAddress>();
}

}  // namespace ipc
}  // namespace norvak
