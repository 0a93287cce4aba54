#ifndef NORVAK_MONITOR_STANDART_COMP_STRATEGY_H_
#define NORVAK_MONITOR_STANDART_COMP_STRATEGY_H_

#include <string>
#include <vector>

#include "monitor/comp_strategy.h"

// Normal starts and recoveries: the one-byte answer, no extra arguments.
class StandartCompStrategy : public CompStrategy {
 public:
  void start(Component& comp, const std::string& dir, time_t faultTime,
             const std::string& appName) override;
  void addArgs(std::vector<std::string>& args) const override;
  bool answersLater() const override { return true; }
};

#endif  // NORVAK_MONITOR_STANDART_COMP_STRATEGY_H_
