#ifndef NORVAK_IPC_NK_TIMEOUT_H_
#define NORVAK_IPC_NK_TIMEOUT_H_

#include <sys/time.h>

#include <cstdint>
#include <string>

namespace norvak {
namespace base {

// A duration in milliseconds. The all-ones value means "wait for ever"; every
// finite value is kept at or below four hours so that arithmetic on deadlines
// cannot overflow and a forgotten peer cannot pin a thread for days.
class NkTimeout {
 public:
  enum Unit { kSeconds = 0, kMilliseconds = 1 };

  static constexpr uint32_t kInfiniteValue = 0xFFFFFFFFu;
  static constexpr uint32_t kMaxValue = 14400000u;

  // Infinite.
  constexpr NkTimeout() : ms_(kInfiniteValue) {}
  // See Set(); raises NkParameterError for an unknown unit.
  NkTimeout(int64_t value, int unit) : ms_(kInfiniteValue) { Set(value, unit); }

  static constexpr NkTimeout Milliseconds(uint32_t ms) {
    return NkTimeout(RawTag(), ms == kInfiniteValue ? ms : (ms > kMaxValue ? kMaxValue : ms));
  }
  static constexpr NkTimeout Seconds(uint32_t s) {
    return Milliseconds(s >= kMaxValue / 1000 ? kMaxValue : s * 1000u);
  }
  static constexpr NkTimeout Infinite() { return NkTimeout(); }

  // A negative value makes the time-out infinite.
  void Set(int64_t value, int unit);
  // Seconds (rounded down) or milliseconds; all-ones for infinite.
  uint32_t AsUnit(int unit) const;

  constexpr bool IsInfinite() const { return ms_ == kInfiniteValue; }
  constexpr bool IsZero() const { return ms_ == 0; }
  constexpr uint32_t GetMilliseconds() const { return ms_; }

  // False for an infinite time-out (the struct is left untouched).
  bool ToTimeval(struct timeval* tv) const;
  // The argument poll(2) expects: -1 for infinite.
  int AsPollTimeout() const { return IsInfinite() ? -1 : static_cast<int>(ms_); }

  // Infinite absorbs finite operands; finite results are clamped to
  // [0, kMaxValue].
  NkTimeout operator+(const NkTimeout& other) const;
  NkTimeout operator-(const NkTimeout& other) const;
  NkTimeout& operator+=(const NkTimeout& other) { return *this = *this + other; }
  NkTimeout& operator-=(const NkTimeout& other) { return *this = *this - other; }

  constexpr bool operator<(const NkTimeout& o) const { return ms_ < o.ms_; }
  constexpr bool operator>(const NkTimeout& o) const { return ms_ > o.ms_; }
  constexpr bool operator<=(const NkTimeout& o) const { return ms_ <= o.ms_; }
  constexpr bool operator>=(const NkTimeout& o) const { return ms_ >= o.ms_; }
  constexpr bool operator==(const NkTimeout& o) const { return ms_ == o.ms_; }
  constexpr bool operator!=(const NkTimeout& o) const { return ms_ != o.ms_; }

  // "inf", "0 ms", or e.g. "1 h  2 m 3 s 4 ms".
  std::string ToString() const;

 private:
  struct RawTag {};
  // For the constexpr factories; the tag keeps it out of overload sets.
  constexpr NkTimeout(RawTag, uint32_t ms) : ms_(ms) {}

  uint32_t ms_;
};

// Library-wide constants.
inline constexpr NkTimeout kNkInfiniteTimeout = NkTimeout::Infinite();
inline constexpr NkTimeout kNkZeroTimeout = NkTimeout::Milliseconds(0);
inline constexpr NkTimeout kNkMaxTimeout = NkTimeout::Milliseconds(NkTimeout::kMaxValue);
// The slice in which blocking waits are cut so that a cancelled thread
// notices within about a second.
inline constexpr NkTimeout kNkOneSecondTimeout = NkTimeout::Milliseconds(1000);

}  // namespace base
}  // namespace norvak

#endif  // NORVAK_IPC_NK_TIMEOUT_H_
