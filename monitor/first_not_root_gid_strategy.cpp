#include "first_not_root_gid_strategy.h"

#include "component.h"
#include "log.h"
#include "utils.h"

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
