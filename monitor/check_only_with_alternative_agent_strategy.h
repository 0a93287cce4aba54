#ifndef NORVAK_MONITOR_CHECK_ONLY_WITH_ALTERNATIVE_AGENT_STRATEGY_H_
#define NORVAK_MONITOR_CHECK_ONLY_WITH_ALTERNATIVE_AGENT_STRATEGY_H_

#include <string>
#include <vector>

#include "monitor/comp_strategy.h"

// Check-all runs: the program checks its options against the temporary
// agent. The last word of its command line is taken to be its agent address
// and is replaced by the temporary one.
class CheckOnlyWithAlternativeAgentStrategy : public CompStrategy {
 public:
  explicit CheckOnlyWithAlternativeAgentStrategy(const std::string& agentAddress);

  void start(Component& comp, const std::string& dir, time_t faultTime,
             const std::string& appName) override;
  void addArgs(std::vector<std::string>& args) const override;
  std::string name() const override;
  std::string description() const override;

  const std::string& agentAddress() const { return agentAddress_; }

 private:
  std::string agentAddress_;
};

#endif  // NORVAK_MONITOR_CHECK_ONLY_WITH_ALTERNATIVE_AGENT_STRATEGY_H_
