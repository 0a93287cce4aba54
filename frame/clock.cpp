#include "frame/clock.h"

Clock::~Clock() {}

time_t Clock::wallNow() const { return time(nullptr); }

Clock::MonoTime Clock::monoNow() const { return std::chrono::steady_clock::now(); }

int64_t Clock::monoSeconds() const {
  return std::chrono::duration_cast<std::chrono::seconds>(monoNow().time_since_epoch()).count();
}

Clock& Clock::system() {
  static Clock clock;
  return clock;
}
