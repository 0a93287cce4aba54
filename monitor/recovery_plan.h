#ifndef NORVAK_MONITOR_RECOVERY_PLAN_H_
#define NORVAK_MONITOR_RECOVERY_PLAN_H_

#include <chrono>
#include <ctime>
#include <vector>

#include "frame/clock.h"

// The restart policy of one component: the tries that follow a death, when
// each is due, whether a restart that answered has also stayed up, and when
// to give up.
//
// A restart that answers is not yet a recovery that ends the sequence: a
// program that crashes right after answering would otherwise be restarted
// (and mailed about) for ever. Only after it has stayed up for the stable
// time does the next death open a fresh sequence; a death sooner goes on
// with the next try of the same one, so the list runs out.
//
// Due times are the fault's monotonic time plus the try's offset, at full
// precision: the wall clock may step, and whole seconds would move a try by
// up to one.
class RecoveryPlan {
 public:
  struct Settings {
    // The delays between tries, as configured (entry i: from try i to try
    // i + 1, try 1 counting from the fault).
    std::vector<int> delays;
    std::chrono::seconds stableTime{60};
  };

  RecoveryPlan() = default;
  explicit RecoveryPlan(const Settings& settings) { configure(settings); }
  // Sequences under way keep their fault time; later tries follow the new
  // offsets.
  void configure(const Settings& settings);

  // The component's process died at now (wall: the same moment for texts).
  // True when a try is left; due() is then its time. False: the list is used
  // up, the component is to be given up.
  bool fault(Clock::MonoTime now, time_t wall);
  // Whether a death at now would go on with the sequence under way.
  bool continues(Clock::MonoTime now) const;
  // The answer last given no longer counts (the death that follows is no
  // crash).
  void forgetAnswer() { answered_ = false; }
  // The try due is being made.
  void tryMade(time_t wall) { attempts_.push_back(wall); }
  // The try made did not answer: true when another is left (due() is then
  // its time).
  bool tryFailed() { return advance(); }
  // The try made answered at now; it counts once it has stayed up for the
  // stable time.
  void answered(Clock::MonoTime now);

  // The try pending or last made, from 1; 0 before any fault.
  int tryNo() const { return tryNo_; }
  Clock::MonoTime due() const;
  bool givenUp() const { return givenUp_; }
  // The death that opened the sequence under way.
  Clock::MonoTime faultMono() const { return faultMono_; }
  time_t faultTime() const { return faultWall_; }
  // When the tries of the sequence under way were actually made.
  const std::vector<time_t>& attempts() const { return attempts_; }
  // Those before the last one.
  std::vector<time_t> abortive() const {
    return attempts_.empty() ? attempts_
                             : std::vector<time_t>(attempts_.begin(), attempts_.end() - 1);
  }

 private:
  bool advance();

  std::vector<std::chrono::seconds> offsets_;  // from the fault, summed once
  std::chrono::seconds stableTime_{60};
  Clock::MonoTime faultMono_{};
  time_t faultWall_ = 0;
  int tryNo_ = 0;
  std::vector<time_t> attempts_;
  bool answered_ = false;
  Clock::MonoTime answeredAt_{};
  bool givenUp_ = false;
};

#endif  // NORVAK_MONITOR_RECOVERY_PLAN_H_
