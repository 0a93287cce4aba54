#include "nk_time.h"

#include <time.h>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace norvak {
namespace base {

namespace {

constexpr int64_t kNanosPerSecond = 1000000000;

NkTime Read(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return NkTime(ts.tv_sec, static_cast<int32_t>(ts.tv_nsec));
}

}  // namespace

NkTime::NkTime(int64_t sec, int32_t nsec) : sec_(sec), nsec_(nsec) {
  if (sec == -1 && nsec == -1) return;  // undefined stays undefined
  sec_ += nsec_ / kNanosPerSecond;
  nsec_ %= kNanosPerSecond;
  if (nsec_ < 0) {
    nsec_ += kNanosPerSecond;
    --sec_;
  }
}

NkTime NkTime::Now() {
  // The calendar clock, cut to microseconds as the rest of the suite reads it.
  NkTime t = Read(CLOCK_REALTIME);
  t.nsec_ -= t.nsec_ % 1000;
  return t;
}

NkTime NkTime::MonotonicNow() { return Read(CLOCK_MONOTONIC); }

NkTime NkTime::operator+(const NkTimeout& timeout) const {
  if (IsUndefined() || timeout.IsInfinite()) return NkTime();
  const uint32_t ms = timeout.GetMilliseconds();
  return NkTime(sec_ + ms / 1000, nsec_ + static_cast<int32_t>(ms % 1000) * 1000000);
}

NkTimeout NkTime::operator-(const NkTime& other) const {
  if (IsUndefined()) return NkTimeout::Infinite();
  if (other.IsUndefined()) return NkTimeout::Milliseconds(0);
  const int64_t ms = (sec_ - other.sec_) * 1000 + (nsec_ - other.nsec_) / 1000000;
  if (ms <= 0) return NkTimeout::Milliseconds(0);
  if (ms >= NkTimeout::kMaxValue) return NkTimeout::Milliseconds(NkTimeout::kMaxValue);
  return NkTimeout::Milliseconds(static_cast<uint32_t>(ms));
}

bool NkTime::operator<(const NkTime& o) const {
  // "Never" lies after every defined time.
  if (IsUndefined()) return false;
  if (o.IsUndefined()) return true;
  return sec_ < o.sec_ || (sec_ == o.sec_ && nsec_ < o.nsec_);
}

std::string NkTime::ToString() const {
  if (IsUndefined()) return "undefined";
  namespace pt = boost::posix_time;
  const pt::ptime when = pt::from_time_t(0) + pt::seconds(static_cast<long>(sec_));
  std::string text = pt::to_iso_extended_string(when);  // 2011-05-11T10:00:00
  const std::string::size_type t = text.find('T');
  if (t != std::string::npos) text[t] = ' ';
  return text;
}

}  // namespace base
}  // namespace norvak
