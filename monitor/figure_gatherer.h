#ifndef NORVAK_MONITOR_FIGURE_GATHERER_H_
#define NORVAK_MONITOR_FIGURE_GATHERER_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "frame/clock.h"
#include "monitor/suite_figures.h"

class AppStore;

// Copies the components' numbers out of the store. A component keeps no
// time of its last change, so the gatherer remembers what each looked like
// the last time and dates a difference to now: gathered after every change
// (a little later, when the changes come in a burst), that is when it
// changed. On the loop's thread only.
class FigureGatherer {
 public:
  void gather(const AppStore& store, Clock::MonoTime now, SuiteFigures& out);

 private:
  struct Seen {
    int state = 0;
    pid_t pid = -1;
    uint64_t events = 0;  // restarts and faults
    Clock::MonoTime since;
  };

  // By application, then component.
  std::map<std::pair<std::string, std::string>, Seen> seen_;
};

#endif  // NORVAK_MONITOR_FIGURE_GATHERER_H_
