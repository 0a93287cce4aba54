#ifndef NORVAK_MONITOR_DEFERRED_EVENT_H_
#define NORVAK_MONITOR_DEFERRED_EVENT_H_

#include <sys/types.h>

#include <ctime>
#include <string>

// A pending restart try of a component whose process died.
//
// A component is identified by its application and component names, not by
// the pid: every failed restart gives the component a new pid, while the
// event must keep standing for the same component until the tries are used
// up. pid stays the process that died at faultTime (the one whose end by a
// signal decides, at try 1, whether a restart is wanted at all). An event
// built without names falls back to the pid as its identity.
struct DeferredEvent {
  time_t due = 0;        // when the try is to be made
  time_t faultTime = 0;  // when the process was found dead
  pid_t pid = -1;        // the process that died
  int tryNo = 0;         // try this event stands for, from 1; 0 before the first pushFault
  std::string appName;   // owning application (compared without regard to case)
  std::string compName;  // component within it

  DeferredEvent() = default;
  DeferredEvent(time_t faultTime, pid_t pid, std::string appName, std::string compName);

  // Whether both events are about the same component.
  bool sameComponent(const DeferredEvent& other) const;
  bool hasNames() const { return !appName.empty() || !compName.empty(); }
};

#endif  // NORVAK_MONITOR_DEFERRED_EVENT_H_
