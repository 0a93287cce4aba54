#ifndef NORVAK_PROTOCOLS_NK_PEER_H_
#define NORVAK_PROTOCOLS_NK_PEER_H_

#include <sys/socket.h>
#include <sys/types.h>

#include <istream>
#include <optional>
#include <string>

namespace norvak {
namespace maild {

// Who is at the other end of a connection, as the kernel tells it: the
// credentials of a Unix-domain peer, or the address of a TCP peer and, on the
// loopback, the user who owns the peer's socket. A request says nothing about
// its sender that a server could trust; this does.
struct NkPeer {
  enum Transport { kUnknown, kLocal, kInet };

  Transport transport = kUnknown;
  // True when uid is known: a local peer's credentials, or the owner of a
  // loopback peer's socket. For a loopback peer only the uid is known: the
  // socket table has no group, and the uid's passwd entry need not be the
  // group the peer runs with, so gid and pid stay -1.
  bool has_credentials = false;
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  pid_t pid = -1;  // -1 where the system does not tell
  // Inet peers: the address is 127.0.0.0/8, ::1 or a v4-mapped 127 address.
  bool loopback = false;
  std::string address;  // inet peers: "host:port", "[v6 host]:port"
  // Inet peers: the address alone, a v4-mapped one in its IPv4 form, so that
  // one host is one host whichever listener it came in by.
  std::string host;

  // "local peer (pid 12, uid 1000, gid 100)", "inet peer 10.1.2.3:40112",
  // "inet peer 127.0.0.1:40112 (uid 65534)".
  std::string ToString() const;
  // What to count a peer's use against: "uid:N" where the user is known,
  // "addr:HOST" for other inet peers, "unknown" otherwise.
  std::string Key() const;
};

// Looks the peer of a connected socket up. Never throws: what cannot be
// learnt stays unknown, and an unknown peer is to be treated as a stranger.
NkPeer NkIdentifyPeer(int fd);

namespace internal {

// The owner of the TCP socket at `peer` connected to `local` (both as this
// side names them: getpeername, getsockname), provided a live process holds
// it. Nothing for a socket that is gone, in TIME_WAIT or orphaned.
std::optional<uid_t> LoopbackPeerUid(const sockaddr_storage& peer, const sockaddr_storage& local);

// The same answer read from the text of Linux's /proc/net/tcp or
// /proc/net/tcp6 (either, or both one after the other). Nothing where no line
// or more than one owner matches.
std::optional<uid_t> PeerUidFromProcTable(std::istream& table, const sockaddr_storage& peer,
                                          const sockaddr_storage& local);

}  // namespace internal

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_PEER_H_
