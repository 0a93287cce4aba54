#include "monitor/deferred_event.h"

#include <utility>

#include "frame/app_name_less.h"

DeferredEvent::DeferredEvent(time_t faultTime, pid_t pid, std::string appName,
                             std::string compName)
    : faultTime(faultTime),
      pid(pid),
      appName(std::move(appName)),
      compName(std::move(compName)) {}

bool DeferredEvent::isFor(const std::string& app, const std::string& comp) const {
  // Names, not the pid: a pid may be reused by another component's process
  // while this one's event is still pending.
  return compName == comp && appNameEqual(appName, app);
}
