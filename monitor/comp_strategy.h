#ifndef NORVAK_MONITOR_COMP_STRATEGY_H_
#define NORVAK_MONITOR_COMP_STRATEGY_H_

#include <time.h>

#include <string>
#include <vector>

class Component;

// How a component is started in one run mode: which start dialogue it goes
// through and which arguments are added to its command line. The caller owns
// the strategy and picks it from the run mode.
class CompStrategy {
 public:
  virtual ~CompStrategy();

  // faultTime is 0 for a first start, the failure time for a recovery start.
  virtual void start(Component& comp, const std::string& dir, time_t faultTime,
                     const std::string& appName) = 0;
  // Whether a start sequence may take the start in steps (spawn, then read
  // the answer when it arrives) instead of calling start(), which blocks.
  virtual bool answersLater() const { return false; }
  // args already holds the executable path and the component's own words.
  virtual void addArgs(std::vector<std::string>& args) const = 0;
  // The mode word ("" for a standard start).
  virtual std::string name() const;
  // "in <mode> mode", or "" for a standard start.
  virtual std::string description() const;
};

#endif  // NORVAK_MONITOR_COMP_STRATEGY_H_
