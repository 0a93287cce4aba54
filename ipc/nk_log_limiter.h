#ifndef NORVAK_IPC_NK_LOG_LIMITER_H_
#define NORVAK_IPC_NK_LOG_LIMITER_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "nk_time.h"

namespace norvak {
namespace base {

// Error records that a peer can provoke at will would let it fill the disk:
// at most `per_second` of them are written each second, and the first one
// written in a later second is preceded by "N protocol errors suppressed" for
// those held back before it. Safe to call from any thread.
class NkLogLimiter {
 public:
  // A monotonic time; injectable so that the seconds can be stepped by hand.
  using Clock = std::function<NkTime()>;

  explicit NkLogLimiter(unsigned per_second = 10, Clock clock = &NkTime::MonotonicNow);

  // Writes `text` at error level, or counts it as suppressed.
  void Error(const std::string& text);
  // Forgets the current second and what it suppressed.
  void Reset();

 private:
  const unsigned per_second_;
  const Clock clock_;
  std::mutex mutex_;
  NkTime second_ends_{0, 0};
  unsigned written_ = 0;
  uint64_t suppressed_ = 0;
};

}  // namespace base
}  // namespace norvak

#endif  // NORVAK_IPC_NK_LOG_LIMITER_H_
