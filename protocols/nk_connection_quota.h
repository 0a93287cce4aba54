#ifndef NORVAK_PROTOCOLS_NK_CONNECTION_QUOTA_H_
#define NORVAK_PROTOCOLS_NK_CONNECTION_QUOTA_H_

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

#include "protocols/nk_peer.h"

namespace norvak {
namespace maild {

// Shares the management connections out among peers, so that no user (or
// remote address) can take them all: each holds a few at most, and the
// last one is kept for root (or the monitor's own user) on a local socket,
// who can then always ask what is going on. Root and the monitor's own
// user, who could stop the monitor anyway, are held to the total only.
class NkConnectionQuota {
 public:
  static constexpr size_t kPerPeer = 4;

  NkConnectionQuota(size_t max_connections, uid_t own_uid)
      : max_(max_connections), own_uid_(own_uid) {}

  // The verdict on a new connection, `open` connections being open besides
  // it: empty when admitted (then it counts until Depart), else the reason.
  std::string Admit(const void* connection, const NkPeer& peer, size_t open);
  void Depart(const void* connection);
  // The peer an admitted connection was identified as.
  bool PeerOf(const void* connection, NkPeer* peer) const;

 private:
  const size_t max_;
  const uid_t own_uid_;
  mutable std::mutex mutex_;
  std::map<const void*, NkPeer> connections_;
  std::map<std::string, size_t> per_peer_;
};

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_CONNECTION_QUOTA_H_
