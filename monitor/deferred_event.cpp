#include "monitor/deferred_event.h"

#include <strings.h>

#include <utility>

DeferredEvent::DeferredEvent(time_t faultTime, pid_t pid, std::string appName,
                             std::string compName)
    : faultTime(faultTime),
      pid(pid),
      appName(std::move(appName)),
      compName(std::move(compName)) {}

bool DeferredEvent::sameComponent(const DeferredEvent& other) const {
  // Names win over the pid: a pid may be reused by another component's
  // process while this one's event is still pending.
  if (hasNames() && other.hasNames())
    return compName == other.compName && strcasecmp(appName.c_str(), other.appName.c_str()) == 0;
  return pid == other.pid;
}
