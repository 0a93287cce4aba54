#ifndef NORVAK_IPC_NK_TIME_H_
#define NORVAK_IPC_NK_TIME_H_

#include <cstdint>
#include <string>

#include "nk_timeout.h"

namespace norvak {
namespace base {

// A point in time: seconds and nanoseconds, nanoseconds kept in
// [0, 1e9). The undefined time (all fields -1) stands for "never" and
// compares greater than every defined time.
class NkTime {
 public:
  // Undefined.
  NkTime() : sec_(-1), nsec_(-1) {}
  NkTime(int64_t sec, int32_t nsec);

  // Calendar time (UTC).
  static NkTime Now();
  // A clock that never jumps; only for measuring intervals, its values mean
  // nothing as calendar dates.
  static NkTime MonotonicNow();
  static NkTime Undefined() { return NkTime(); }

  bool IsUndefined() const { return sec_ == -1 && nsec_ == -1; }
  int64_t GetSeconds() const { return sec_; }
  int32_t GetNanoseconds() const { return nsec_; }

  // Adding the infinite time-out (or anything to "never") gives "never".
  NkTime operator+(const NkTimeout& timeout) const;
  NkTime& operator+=(const NkTimeout& timeout) { return *this = *this + timeout; }

  // In milliseconds, clamped to [0, max]; infinite when this time is
  // undefined, zero when the other one is.
  NkTimeout operator-(const NkTime& other) const;

  bool operator<(const NkTime& o) const;
  bool operator==(const NkTime& o) const { return sec_ == o.sec_ && nsec_ == o.nsec_; }
  bool operator!=(const NkTime& o) const { return !(*this == o); }
  bool operator>(const NkTime& o) const { return o < *this; }
  bool operator<=(const NkTime& o) const { return !(o < *this); }
  bool operator>=(const NkTime& o) const { return !(*this < o); }

  // "%F %H:%M:%S" of the calendar time, or "undefined".
  std::string ToString() const;

 private:
  int64_t sec_;
  int32_t nsec_;
};

}  // namespace base
}  // namespace norvak

#endif  // NORVAK_IPC_NK_TIME_H_
