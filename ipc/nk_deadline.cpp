#include "nk_deadline.h"

namespace norvak {
namespace base {

NkDeadline::NkDeadline(const NkTimeout& timeout)
    : NkTime(NkTime::Now() + timeout), mono_(NkTime::MonotonicNow() + timeout) {}

NkTimeout NkDeadline::Remaining() const {
  // Already passed: zero, never a negative or wrapped value.
  return mono_ - NkTime::MonotonicNow();
}

bool NkDeadline::IsPassed() const {
  return !mono_.IsUndefined() && NkTime::MonotonicNow() >= mono_;
}

bool NkDeadline::operator<(const NkDeadline& o) const { return mono_ < o.mono_; }

}  // namespace base
}  // namespace norvak
