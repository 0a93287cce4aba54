#include "monitor/check_only_with_alternative_agent_strategy.h"

#include "monitor/component.h"

CheckOnlyWithAlternativeAgentStrategy::CheckOnlyWithAlternativeAgentStrategy(
    const std::string& agentAddress)
    : agentAddress_(agentAddress) {}

void CheckOnlyWithAlternativeAgentStrategy::start(Component& comp, const std::string& dir, time_t,
                                                  const std::string&) {
  comp.startCheckOnly(*this, dir);
}

void CheckOnlyWithAlternativeAgentStrategy::addArgs(std::vector<std::string>& args) const {
  // The executable path is never taken for the agent address: a component
  // without words of its own only gets the two words appended.
  if (args.size() > 1) args.pop_back();
  args.push_back("--check-only");
  args.push_back(agentAddress_);
}

std::string CheckOnlyWithAlternativeAgentStrategy::name() const { return "check-only"; }

std::string CheckOnlyWithAlternativeAgentStrategy::description() const {
  return "in " + name() + " mode";
}
