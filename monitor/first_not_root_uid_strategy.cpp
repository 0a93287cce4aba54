#include "monitor/first_not_root_uid_strategy.h"

#include "frame/log.h"
#include "frame/utils.h"
#include "monitor/component.h"

bool FirstNotRootUIDStrategy::check(const Component& comp) {
  if (comp.user().empty()) return false;
  try {
    uid_ = comp.uid();
  } catch (const Utils::error& e) {
    // One stale user name must not hide a good one further on.
    logDebug(std::string("FirstNotRootUIDStrategy::check() ") + e.what());
    uid_ = 0;
  }
  return uid_ != 0;
}
