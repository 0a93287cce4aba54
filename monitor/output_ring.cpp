#include "monitor/output_ring.h"

#include <algorithm>
#include <atomic>

namespace {

// Process-wide: rings come and go with their components across reloads,
// while a follower's "after N" must keep its meaning.
std::atomic<uint64_t> g_lastSequence{0};

}  // namespace

OutputRing::OutputRing(size_t maxLines, size_t maxBytes)
    : maxLines_(std::max<size_t>(maxLines, 1)), maxBytes_(std::max<size_t>(maxBytes, 1)) {}

void OutputRing::push(time_t when, Stream stream, const std::string& text) {
  const size_t size = std::min(text.size(), maxBytes_);
  lines_.push_back(Line{++g_lastSequence, when, stream, std::string(text, 0, size)});
  bytes_ += size;
  while (lines_.size() > maxLines_ || bytes_ > maxBytes_) {
    bytes_ -= lines_.front().text.size();
    lines_.pop_front();
  }
}

size_t OutputRing::firstAfter(uint64_t after) const {
  const auto it = std::upper_bound(lines_.begin(), lines_.end(), after,
                                   [](uint64_t seq, const Line& line) { return seq < line.seq; });
  return static_cast<size_t>(it - lines_.begin());
}

uint64_t OutputRing::lastSequence() { return g_lastSequence.load(); }
