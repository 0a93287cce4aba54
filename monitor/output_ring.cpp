#include "monitor/output_ring.h"

#include <algorithm>
#include <atomic>

namespace {

// Process-wide: rings come and go with their components across reloads,
// while a follower's "after N" must keep its meaning.
std::atomic<uint64_t> g_lastSequence{0};

// A buffer this large goes with its line; smaller ones are kept for the
// next, so that the slots never hold much more than the texts.
const size_t kKeptBuffer = 256;

}  // namespace

OutputRing::OutputRing(size_t maxLines, size_t maxBytes)
    : maxLines_(std::max<size_t>(maxLines, 1)), maxBytes_(std::max<size_t>(maxBytes, 1)) {}

void OutputRing::push(time_t when, Stream stream, const std::string& text) {
  if (count_ == slots_.size()) {
    if (slots_.size() < maxLines_) {
      std::rotate(slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(head_), slots_.end());
      head_ = 0;
      slots_.resize(std::min(std::max<size_t>(slots_.size() * 2, 16), maxLines_));
    } else {
      dropOldest();
    }
  }
  const size_t size = std::min(text.size(), maxBytes_);
  Line& slot = slots_[(head_ + count_) % slots_.size()];
  slot.seq = ++g_lastSequence;
  slot.time = when;
  slot.stream = stream;
  slot.text.assign(text, 0, size);
  ++count_;
  bytes_ += size;
  while (bytes_ > maxBytes_) dropOldest();
}

void OutputRing::dropOldest() {
  std::string& text = slots_[head_].text;
  bytes_ -= text.size();
  if (text.capacity() > kKeptBuffer)
    std::string().swap(text);
  else
    text.clear();
  head_ = (head_ + 1) % slots_.size();
  --count_;
}

size_t OutputRing::firstAfter(uint64_t after) const {
  size_t low = 0, high = count_;
  while (low < high) {
    const size_t mid = low + (high - low) / 2;
    if (at(mid).seq <= after)
      low = mid + 1;
    else
      high = mid;
  }
  return low;
}

uint64_t OutputRing::lastSequence() { return g_lastSequence.load(); }
