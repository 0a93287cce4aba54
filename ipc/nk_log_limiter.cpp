#include "nk_log_limiter.h"

#include <utility>

#include "nk_log.h"

namespace norvak {
namespace base {

NkLogLimiter::NkLogLimiter(unsigned per_second, Clock clock)
    : per_second_(per_second), clock_(std::move(clock)) {}

void NkLogLimiter::Error(const std::string& text) {
  // Nothing would be written anyway: a flood must not cost the lock.
  if (!NkLogEnabled(NK_LOG_ERROR)) return;
  uint64_t told = 0;
  bool pass = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const NkTime now = clock_();
    if (!(now < second_ends_)) {
      told = suppressed_;
      suppressed_ = 0;
      written_ = 0;
      second_ends_ = now + kNkOneSecondTimeout;
    }
    pass = written_ < per_second_;
    if (pass) {
      ++written_;
    } else {
      ++suppressed_;
    }
  }
  if (told > 0) NkLogError(std::to_string(told) + " protocol errors suppressed");
  if (pass) NkLogError(text);
}

void NkLogLimiter::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  second_ends_ = NkTime(0, 0);
  written_ = 0;
  suppressed_ = 0;
}

}  // namespace base
}  // namespace norvak
