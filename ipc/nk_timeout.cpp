#include "nk_timeout.h"

#include "nk_exception.h"

namespace norvak {
namespace base {

namespace {

uint32_t Clamp(int64_t ms) {
  if (ms < 0) return 0;
  if (ms > NkTimeout::kMaxValue) return NkTimeout::kMaxValue;
  return static_cast<uint32_t>(ms);
}

}  // namespace

void NkTimeout::Set(int64_t value, int unit) {
  if (unit != kSeconds && unit != kMilliseconds) {
    throw NkParameterError("Timeout::Set", "Unit", std::to_string(unit));
  }
  if (value < 0) {
    ms_ = kInfiniteValue;
    return;
  }
  // Anything beyond the limit is clamped before multiplying, so no product
  // can overflow.
  if (unit == kSeconds) {
    ms_ = value >= kMaxValue / 1000 ? kMaxValue : Clamp(value * 1000);
  } else {
    ms_ = Clamp(value);
  }
}

uint32_t NkTimeout::AsUnit(int unit) const {
  if (unit != kSeconds && unit != kMilliseconds) {
    throw NkParameterError("Timeout::AsUnit", "Unit", std::to_string(unit));
  }
  if (IsInfinite()) return kInfiniteValue;
  return unit == kSeconds ? ms_ / 1000 : ms_;
}

bool NkTimeout::ToTimeval(struct timeval* tv) const {
  if (IsInfinite() || tv == nullptr) return false;
  tv->tv_sec = ms_ / 1000;
  tv->tv_usec = (ms_ % 1000) * 1000;
  return true;
}

NkTimeout NkTimeout::operator+(const NkTimeout& other) const {
  if (IsInfinite() || other.IsInfinite()) return Infinite();
  return Milliseconds(Clamp(static_cast<int64_t>(ms_) + other.ms_));
}

NkTimeout NkTimeout::operator-(const NkTimeout& other) const {
  if (IsInfinite()) return Infinite();
  if (other.IsInfinite()) return Milliseconds(0);
  return Milliseconds(Clamp(static_cast<int64_t>(ms_) - other.ms_));
}

std::string NkTimeout::ToString() const {
  if (IsInfinite()) return "inf";
  if (ms_ == 0) return "0 ms";
  const uint32_t hours = ms_ / 3600000;
  const uint32_t minutes = ms_ / 60000 % 60;
  const uint32_t seconds = ms_ / 1000 % 60;
  const uint32_t millis = ms_ % 1000;
  std::string text;
  if (hours != 0) text += std::to_string(hours) + " h ";
  if (minutes != 0) text += " " + std::to_string(minutes) + " m";
  if (seconds != 0) text += " " + std::to_string(seconds) + " s";
  if (millis != 0) text += " " + std::to_string(millis) + " ms";
  return text;
}

}  // namespace base
}  // namespace norvak
