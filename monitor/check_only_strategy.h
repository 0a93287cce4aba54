#ifndef NORVAK_MONITOR_CHECK_ONLY_STRATEGY_H_
#define NORVAK_MONITOR_CHECK_ONLY_STRATEGY_H_

#include <string>
#include <vector>

#include "monitor/comp_strategy.h"

// Check-all runs: the program checks its options and reports them line by
// line instead of starting.
class CheckOnlyStrategy : public CompStrategy {
 public:
  void start(Component& comp, const std::string& dir, time_t faultTime,
             const std::string& appName) override;
  void addArgs(std::vector<std::string>& args) const override;
  std::string name() const override;
  std::string description() const override;
};

#endif  // NORVAK_MONITOR_CHECK_ONLY_STRATEGY_H_
