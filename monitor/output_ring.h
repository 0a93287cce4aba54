#ifndef NORVAK_MONITOR_OUTPUT_RING_H_
#define NORVAK_MONITOR_OUTPUT_RING_H_

#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

// The last lines a component wrote, kept for the administrators' `logs`
// request. It belongs to the component, not to one of its processes: after a
// crash it still holds what the dead process said last.
//
// Bounded by lines and by the bytes of their texts, whichever bound is
// reached first; the oldest lines go. Every line gets a sequence number that
// is unique and increasing across all rings of the process, so that a
// follower can ask for what came "after N" from several components at once
// and get it in the order it was read.
//
// Written and read on the supervision loop only; no locks.
class OutputRing {
 public:
  enum class Stream : int32_t { kOut = 1, kErr = 2 };
  struct Line {
    uint64_t seq;
    time_t time;
    Stream stream;
    std::string text;
  };

  static const size_t kMaxLines = 1000;
  static const size_t kMaxBytes = 256 * 1024;

  explicit OutputRing(size_t maxLines = kMaxLines, size_t maxBytes = kMaxBytes);

  // A text longer than the byte bound is cut to it.
  void push(time_t when, Stream stream, const std::string& text);

  // The lines, oldest first: at(0) to at(size() - 1).
  size_t size() const { return count_; }
  const Line& at(size_t i) const { return slots_[(head_ + i) % slots_.size()]; }
  size_t bytes() const { return bytes_; }
  // Index of the first line after sequence `after`.
  size_t firstAfter(uint64_t after) const;

  // The number of the newest line of any ring; 0 before the first.
  static uint64_t lastSequence();

 private:
  void dropOldest();

  size_t maxLines_;
  size_t maxBytes_;
  // A circle of slots whose texts keep their buffers: a component that
  // floods its output costs a copy per line, not an allocation.
  std::vector<Line> slots_;
  size_t head_ = 0;
  size_t count_ = 0;
  size_t bytes_ = 0;
};

#endif  // NORVAK_MONITOR_OUTPUT_RING_H_
