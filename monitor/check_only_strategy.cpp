#include "monitor/check_only_strategy.h"

#include "monitor/component.h"

void CheckOnlyStrategy::start(Component& comp, const std::string& dir, time_t,
                              const std::string&) {
  comp.startCheckOnly(*this, dir);
}

void CheckOnlyStrategy::addArgs(std::vector<std::string>& args) const {
  args.push_back("--check-only");
}

std::string CheckOnlyStrategy::name() const { return "check-only"; }

std::string CheckOnlyStrategy::description() const { return "in " + name() + " mode"; }
