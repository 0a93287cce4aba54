#ifndef NORVAK_MONITOR_OUTPUT_LINES_H_
#define NORVAK_MONITOR_OUTPUT_LINES_H_

#include <stddef.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "frame/clock.h"

// Cuts a byte stream into lines. A line longer than the limit is cut there
// and the rest of it, up to its newline, dropped: one runaway line must not
// become many records, and the buffer stays bounded.
class LineSplitter {
 public:
  explicit LineSplitter(size_t maxLine) : maxLine_(maxLine) {}

  // Calls emit(line) for every line completed by data, without its newline.
  template <typename Emit>
  void feed(const char* data, size_t n, Emit&& emit) {
    const char* end = data + n;
    while (data < end) {
      const char* nl = static_cast<const char*>(memchr(data, '\n', static_cast<size_t>(end - data)));
      const char* stop = nl ? nl : end;
      if (!skipping_) {
        const size_t room = maxLine_ - partial_.size();
        const size_t take = std::min(room, static_cast<size_t>(stop - data));
        partial_.append(data, take);
        if (partial_.size() >= maxLine_) {
          emitPartial(emit);
          skipping_ = true;
        }
      }
      if (!nl) return;
      if (skipping_)
        skipping_ = false;
      else
        emitPartial(emit);
      data = nl + 1;
    }
  }

  // The end of the stream: a last line without newline is still a line.
  template <typename Emit>
  void finish(Emit&& emit) {
    if (!partial_.empty()) emitPartial(emit);
    skipping_ = false;
  }

 private:
  template <typename Emit>
  void emitPartial(Emit& emit) {
    if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
    emit(partial_);
    partial_.clear();
  }

  size_t maxLine_;
  std::string partial_;
  bool skipping_ = false;
};

// Lets a burst of lines through per window and counts the rest, so that the
// count can be reported once per window instead of the lines.
class LineLimiter {
 public:
  LineLimiter(size_t burst, std::chrono::milliseconds window) : burst_(burst), window_(window) {}

  // Starts a new window once the current one has passed; returns the lines
  // suppressed in the window that ended (to be reported), else 0.
  size_t roll(Clock::MonoTime now) {
    if (now < windowEnd_) return 0;
    windowEnd_ = now + window_;
    passed_ = 0;
    return take();
  }
  // Whether a line arriving now may be logged.
  bool admit() {
    if (passed_ < burst_) {
      ++passed_;
      return true;
    }
    ++suppressed_;
    return false;
  }
  // When a suppressed count waits for its report.
  bool reportDue(Clock::MonoTime& at) const {
    if (suppressed_ == 0) return false;
    at = windowEnd_;
    return true;
  }
  size_t take() {
    const size_t n = suppressed_;
    suppressed_ = 0;
    return n;
  }

 private:
  size_t burst_;
  std::chrono::milliseconds window_;
  Clock::MonoTime windowEnd_;
  size_t passed_ = 0;
  size_t suppressed_ = 0;
};

#endif  // NORVAK_MONITOR_OUTPUT_LINES_H_
