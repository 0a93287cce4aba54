#include "monitor/deferred_event.h"

#include <strings.h>

#include <utility>

DeferredEvent::DeferredEvent(time_t faultTime, int64_t faultMono, pid_t pid, std::string appName,
                             std::string compName)
    : faultMono(faultMono),
      faultTime(faultTime),
      pid(pid),
      appName(std::move(appName)),
      compName(std::move(compName)) {}

bool DeferredEvent::sameComponent(const DeferredEvent& other) const {
  // Names, not the pid: a pid may be reused by another component's process
  // while this one's event is still pending.
  return compName == other.compName && strcasecmp(appName.c_str(), other.appName.c_str()) == 0;
}
