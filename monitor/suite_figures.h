#ifndef NORVAK_MONITOR_SUITE_FIGURES_H_
#define NORVAK_MONITOR_SUITE_FIGURES_H_

#include <array>
#include <cstdint>
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
  // One health check of a component, as its last run left it. Nothing fills
  // these yet: the health checks will, and the metrics show whatever is here.
  struct Check {
    std::string app;
    std::string component;
    std::string check;
    bool ok = false;
    double seconds = 0;  // how long its last run took
    uint64_t failures = 0;
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
