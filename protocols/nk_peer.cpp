#include "protocols/nk_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace norvak {
namespace maild {

namespace {

bool LocalCredentials(int fd, NkPeer* peer) {
#if defined(SO_PEERCRED)
  struct ucred credentials;
  socklen_t length = sizeof(credentials);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof(credentials)) {
    return false;
  }
  peer->uid = credentials.uid;
  peer->gid = credentials.gid;
  peer->pid = credentials.pid;
  return true;
#else
  uid_t uid;
  gid_t gid;
  if (getpeereid(fd, &uid, &gid) != 0) return false;
  peer->uid = uid;
  peer->gid = gid;
  return true;
#endif
}

void InetAddress(const sockaddr_storage& storage, NkPeer* peer) {
  char host[INET6_ADDRSTRLEN] = "";
  unsigned port = 0;
  if (storage.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof(host));
    port = ntohs(in->sin_port);
    peer->loopback = (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    peer->address = std::string(host) + ":" + std::to_string(port);
    return;
  }
  const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
  inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof(host));
  port = ntohs(in6->sin6_port);
  const uint8_t* bytes = in6->sin6_addr.s6_addr;
  // A v4-mapped 127.x.y.z came over the IPv4 loopback all the same.
  peer->loopback = IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) ||
                   (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr) && bytes[12] == 127);
  peer->address = "[" + std::string(host) + "]:" + std::to_string(port);
}

}  // namespace

std::string NkPeer::ToString() const {
  switch (transport) {
    case kLocal:
      if (!has_credentials) return "local peer (credentials unknown)";
      return "local peer (" + (pid > 0 ? "pid " + std::to_string(pid) + ", " : std::string()) +
             "uid " + std::to_string(uid) + ", gid " + std::to_string(gid) + ")";
    case kInet:
      return "inet peer " + address;
    case kUnknown:
      break;
  }
  return "unknown peer";
}

NkPeer NkIdentifyPeer(int fd) {
  NkPeer peer;
  if (fd < 0) return peer;
  sockaddr_storage storage;
  std::memset(&storage, 0, sizeof(storage));
  socklen_t length = sizeof(storage);
  // The local name tells the family even when the peer's has none (an
  // unbound Unix-domain client).
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return peer;
  if (storage.ss_family == AF_UNIX) {
    peer.transport = NkPeer::kLocal;
    peer.has_credentials = LocalCredentials(fd, &peer);
    return peer;
  }
  if (storage.ss_family != AF_INET && storage.ss_family != AF_INET6) return peer;
  std::memset(&storage, 0, sizeof(storage));
  length = sizeof(storage);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return peer;
  if (storage.ss_family != AF_INET && storage.ss_family != AF_INET6) return peer;
  peer.transport = NkPeer::kInet;
  InetAddress(storage, &peer);
  return peer;
}

}  // namespace maild
}  // namespace norvak
