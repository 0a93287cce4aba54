#include "protocols/nk_refusal_log.h"

namespace norvak {
namespace maild {

void NkRefusalLog::Refused(const std::string& peer_key, const std::string& record, int64_t now) {
  std::string line;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (peers_.size() >= kMaxPeers && peers_.count(peer_key) == 0) {
      for (auto it = peers_.begin(); it != peers_.end();) {
        it = now - it->second.began >= kPeriodSeconds ? peers_.erase(it) : std::next(it);
      }
    }
    const std::string& key = peers_.size() < kMaxPeers || peers_.count(peer_key) ? peer_key
                                                                                  : std::string();
    auto found = peers_.find(key);
    if (found != peers_.end() && now - found->second.began < kPeriodSeconds) {
      ++found->second.left_out;
      return;
    }
    line = record;
    if (found != peers_.end() && found->second.left_out > 0) {
      line += " (" + std::to_string(found->second.left_out) +
              " more refusals left out in the minute before)";
    }
    peers_[key] = Window{now, 0};
  }
  sink_(line);
}

}  // namespace maild
}  // namespace norvak
