#ifndef NORVAK_IPC_NK_DEADLINE_H_
#define NORVAK_IPC_NK_DEADLINE_H_

#include "nk_time.h"
#include "nk_timeout.h"

namespace norvak {
namespace base {

// The moment by which a whole exchange must be over. The inherited calendar
// value is what the messages print; the decisions (time left, passed,
// ordering) use a monotonic copy so that a clock step cannot stretch or cut a
// wait.
class NkDeadline : public NkTime {
 public:
  // Never passes.
  NkDeadline() = default;
  // Now plus the time-out; an infinite time-out never passes.
  explicit NkDeadline(const NkTimeout& timeout);

  // The time left, clamped to the maximum time-out: infinite for "never",
  // zero once the deadline has passed (so the next wait times out at once).
  NkTimeout Remaining() const;
  bool IsPassed() const;

  bool operator<(const NkDeadline& o) const;
  bool operator>(const NkDeadline& o) const { return o < *this; }
  bool operator<=(const NkDeadline& o) const { return !(o < *this); }
  bool operator>=(const NkDeadline& o) const { return !(*this < o); }
  bool operator==(const NkDeadline& o) const { return mono_ == o.mono_; }
  bool operator!=(const NkDeadline& o) const { return !(*this == o); }

 private:
  NkTime mono_;
};

}  // namespace base
}  // namespace norvak

#endif  // NORVAK_IPC_NK_DEADLINE_H_
