#ifndef NORVAK_TESTS_SUPPORT_FAKE_CLOCK_H_
#define NORVAK_TESTS_SUPPORT_FAKE_CLOCK_H_

#include <chrono>

#include "frame/clock.h"

// A clock that moves only when the test moves it; the wall clock starts far
// from the monotonic one so that a mix-up of the two shows.
class FakeClock : public Clock {
 public:
  time_t wallNow() const override { return wall_; }
  MonoTime monoNow() const override { return mono_; }
  void advance(std::chrono::seconds s) {
    wall_ += static_cast<time_t>(s.count());
    mono_ += s;
  }
  // Below a second: the wall clock moves on when the parts add up to one.
  void advance(std::chrono::milliseconds ms) {
    mono_ += ms;
    wallMs_ += ms;
    wall_ += static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(wallMs_).count());
    wallMs_ %= std::chrono::seconds(1);
  }
  // A step of the wall clock alone, as an administrator or NTP makes it.
  void stepWall(std::chrono::seconds s) { wall_ += static_cast<time_t>(s.count()); }

 private:
  time_t wall_ = 1300000000;
  MonoTime mono_ = MonoTime(std::chrono::hours(1000));
  std::chrono::milliseconds wallMs_{0};
};

#endif  // NORVAK_TESTS_SUPPORT_FAKE_CLOCK_H_
