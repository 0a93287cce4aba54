#include "protocols/nk_connection_quota.h"

namespace norvak {
namespace maild {

std::string NkConnectionQuota::Admit(const void* connection, const NkPeer& peer, size_t open) {
  const bool trusted = peer.has_credentials && (peer.uid == 0 || peer.uid == own_uid_);
  const bool localAdmin = trusted && peer.transport == NkPeer::kLocal;
  const std::string key = peer.Key();
  std::lock_guard<std::mutex> lock(mutex_);
  if (open + (localAdmin ? 0 : 1) >= max_)
    return "all " + std::to_string(max_) + " connections are taken";
  size_t& held = per_peer_[key];
  if (held >= kPerPeer && !trusted) return "the peer holds " + std::to_string(held) + " connections already";
  ++held;
  connections_[connection] = peer;
  return std::string();
}

void NkConnectionQuota::Depart(const void* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = connections_.find(connection);
  if (found == connections_.end()) return;
  auto held = per_peer_.find(found->second.Key());
  if (held != per_peer_.end() && --held->second == 0) per_peer_.erase(held);
  connections_.erase(found);
}

bool NkConnectionQuota::PeerOf(const void* connection, NkPeer* peer) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = connections_.find(connection);
  if (found == connections_.end()) return false;
  *peer = found->second;
  return true;
}

}  // namespace maild
}  // namespace norvak
