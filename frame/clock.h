#ifndef NORVAK_FRAME_CLOCK_H_
#define NORVAK_FRAME_CLOCK_H_

#include <time.h>

#include <chrono>
#include <cstdint>

// The monitor's two times. Schedules (restart tries, answer deadlines) run on
// the monotonic clock, so that a step of the wall clock neither delays nor
// hurries them; texts (mails, logs) show the wall clock. Tests substitute a
// clock of their own to drive schedules without sleeping.
class Clock {
 public:
  typedef std::chrono::steady_clock::time_point MonoTime;

  virtual ~Clock();
  // Seconds since the epoch, for texts.
  virtual time_t wallNow() const;
  // Never steps back.
  virtual MonoTime monoNow() const;
  // monoNow() in whole seconds, the unit of the restart schedule.
  int64_t monoSeconds() const;

  // The process's real clock.
  static Clock& system();
};

#endif  // NORVAK_FRAME_CLOCK_H_
