#ifndef NORVAK_MONITOR_DEFERRED_EVENT_H_
#define NORVAK_MONITOR_DEFERRED_EVENT_H_

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

// A pending restart try of a component whose process died.
//
// A component is identified by its application and component names, not by
// the pid: every failed restart gives the component a new pid, while the
// event must keep standing for the same component until the tries are used
// up. pid stays the process that died at faultTime, for the texts.
//
// Due times are monotonic seconds (Clock::monoSeconds), so that a step of the
// wall clock does not move the schedule; faultTime is the wall-clock time that
// the mails show.
struct DeferredEvent {
  int64_t due = 0;        // monotonic second when the try is to be made
  int64_t faultMono = 0;  // monotonic second when the process was found dead
  time_t faultTime = 0;   // the same moment on the wall clock
  pid_t pid = -1;         // the process that died
  int tryNo = 0;          // try this event stands for, from 1; 0 before the first pushFault
  std::string appName;    // owning application (compared without regard to case)
  std::string compName;   // component within it

  DeferredEvent() = default;
  DeferredEvent(time_t faultTime, int64_t faultMono, pid_t pid, std::string appName,
                std::string compName);

  // Whether the event is about that component of that application.
  bool isFor(const std::string& app, const std::string& comp) const;
  // Whether both events are about the same component.
  bool sameComponent(const DeferredEvent& other) const {
    return isFor(other.appName, other.compName);
  }
};

#endif  // NORVAK_MONITOR_DEFERRED_EVENT_H_
