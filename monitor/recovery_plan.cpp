#include "monitor/recovery_plan.h"

void RecoveryPlan::configure(const Settings& settings) {
  offsets_.clear();
  std::chrono::seconds sum{0};
  for (int delay : settings.delays) {
    sum += std::chrono::seconds(delay);
    offsets_.push_back(sum);
  }
  stableTime_ = settings.stableTime;
}

bool RecoveryPlan::continues(Clock::MonoTime now) const {
  return answered_ && !givenUp_ && now - answeredAt_ < stableTime_;
}

bool RecoveryPlan::fault(Clock::MonoTime now, time_t wall) {
  if (!continues(now)) {
    faultMono_ = now;
    faultWall_ = wall;
    tryNo_ = 0;
    attempts_.clear();
    givenUp_ = false;
  }
  answered_ = false;
  return advance();
}

void RecoveryPlan::answered(Clock::MonoTime now) {
  answered_ = true;
  answeredAt_ = now;
}

bool RecoveryPlan::advance() {
  if (static_cast<size_t>(tryNo_) >= offsets_.size()) {
    givenUp_ = true;
    return false;
  }
  ++tryNo_;
  return true;
}

Clock::MonoTime RecoveryPlan::due() const {
  if (tryNo_ < 1 || static_cast<size_t>(tryNo_) > offsets_.size()) return faultMono_;
  return faultMono_ + offsets_[tryNo_ - 1];
}
