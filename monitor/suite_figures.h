#ifndef NORVAK_MONITOR_SUITE_FIGURES_H_
#define NORVAK_MONITOR_SUITE_FIGURES_H_

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "frame/clock.h"
#include "monitor/fault_cause.h"

// The monitor's numbers at one moment, copied out of the loop for readers on
// other threads (the metrics server). Moments are the monitor's monotonic
// clock, so that a reader reckons ages at the time it reads.
struct SuiteFigures {
  struct Component {
    std::string app;
    std::string name;
    bool up = false;  // answered and not stopped since
    bool givenUp = false;
    uint64_t restarts = 0;
    std::array<uint64_t, kFaultCauses> faults{};
    // Spawn to answer of the last good start; negative before any.
    double startSeconds = -1;
    // The last time it started, stopped, died, was restarted or given up.
    Clock::MonoTime changedAt;
  };
  // One health check (or watchdog) of a component, as its last run left it.
  struct Check {
    std::string app;
    std::string component;
    std::string check;
    bool ok = false;
    bool pending = false;  // no result yet
    time_t time = 0;       // of the last result
    uint64_t failures = 0;  // in a row
  };

  std::vector<Component> components;  // in store order
  std::vector<Check> checks;
  Clock::MonoTime startedAt;
  uint64_t reloads = 0;
  uint64_t reloadErrors = 0;
  // Notifications (mails and commands): handed to delivery, held back by
  // the limit a minute, pushed out of the full delivery queue.
  uint64_t mailsSent = 0;
  uint64_t mailsHeldBack = 0;
  uint64_t mailsDropped = 0;
};

#endif  // NORVAK_MONITOR_SUITE_FIGURES_H_
