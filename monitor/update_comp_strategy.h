#ifndef NORVAK_MONITOR_UPDATE_COMP_STRATEGY_H_
#define NORVAK_MONITOR_UPDATE_COMP_STRATEGY_H_

#include <string>
#include <vector>

#include "monitor/comp_strategy.h"

// Update runs: a standard start of a program told with "--update" that it
// is being started for an update.
class UpdateCompStrategy : public CompStrategy {
 public:
  void start(Component& comp, const std::string& dir, time_t faultTime,
             const std::string& appName) override;
  void addArgs(std::vector<std::string>& args) const override;
  std::string name() const override;
  std::string description() const override;
};

#endif  // NORVAK_MONITOR_UPDATE_COMP_STRATEGY_H_
