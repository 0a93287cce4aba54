#include "monitor/update_comp_strategy.h"

#include "monitor/component.h"

void UpdateCompStrategy::start(Component& comp, const std::string& dir, time_t faultTime,
                               const std::string& appName) {
  comp.startStandart(*this, dir, faultTime, appName);
}

void UpdateCompStrategy::addArgs(std::vector<std::string>& args) const {
  args.push_back("--update");
}

std::string UpdateCompStrategy::name() const { return "update"; }

std::string UpdateCompStrategy::description() const { return "in " + name() + " mode"; }
