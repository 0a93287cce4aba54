#include "monitor/standart_comp_strategy.h"

#include "monitor/component.h"

void StandartCompStrategy::start(Component& comp, const std::string& dir, time_t faultTime,
                                 const std::string& appName) {
  comp.startStandart(*this, dir, faultTime, appName);
}

void StandartCompStrategy::addArgs(std::vector<std::string>&) const {}
