#ifndef NORVAK_PROTOCOLS_NK_PEER_H_
#define NORVAK_PROTOCOLS_NK_PEER_H_

#include <sys/types.h>

#include <string>

namespace norvak {
namespace maild {

// Who is at the other end of a connection, as the kernel tells it: the
// credentials of a Unix-domain peer, or the address of a TCP peer. A request
// says nothing about its sender that a server could trust; this does.
struct NkPeer {
  enum Transport { kUnknown, kLocal, kInet };

  Transport transport = kUnknown;
  // Local peers: the credentials the peer had when it connected.
  bool has_credentials = false;
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  pid_t pid = -1;  // -1 where the system does not tell
  // Inet peers: the address is 127.0.0.0/8, ::1 or a v4-mapped 127 address.
  bool loopback = false;
  std::string address;  // inet peers: "host:port"

  // "local peer (pid 12, uid 1000, gid 100)", "inet peer 10.1.2.3:40112".
  std::string ToString() const;
};

// Looks the peer of a connected socket up. Never throws: what cannot be
// learnt stays unknown, and an unknown peer is to be treated as a stranger.
NkPeer NkIdentifyPeer(int fd);

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_PEER_H_
