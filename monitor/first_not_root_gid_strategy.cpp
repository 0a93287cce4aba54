#include "monitor/first_not_root_gid_strategy.h"

#include "frame/log.h"
#include "frame/utils.h"
#include "monitor/component.h"

bool FirstNotRootGIDStrategy::check(const Component& comp) {
  if (comp.group().empty()) return false;
  try {
    gid_ = comp.gid();
  } catch (const Utils::error& e) {
    // One stale group name must not hide a good one further on.
    logDebug(std::string("FirstNotRootGIDStrategy::check() ") + e.what());
    gid_ = 0;
  }
  return gid_ != 0;
}
