#ifndef NORVAK_MONITOR_DEFERRED_EVENT_H_
#define NORVAK_MONITOR_DEFERRED_EVENT_H_

#include <sys/types.h>

#include <ctime>
#include <string>

#include "frame/clock.h"

// A pending restart try of a component whose process died.
//
// A component is identified by its application and component names, not by
// the pid: every failed restart gives the component a new pid, while the
// event must keep standing for the same component until the tries are used
// up. pid stays the process that died last, for the texts and for telling a
// crash from a clean exit.
//
// The due time is on the monotonic clock (a step of the wall clock does not
// move the schedule); faultTime is the wall-clock time that the mails show.
struct DeferredEvent {
  Clock::MonoTime due{};  // when the try is to be made
  time_t faultTime = 0;   // the death that opened the try sequence
  pid_t pid = -1;         // the process that died
  int tryNo = 0;          // try this event stands for, from 1
  std::string appName;    // owning application (compared without regard to case)
  std::string compName;   // component within it

  DeferredEvent() = default;
  DeferredEvent(time_t faultTime, pid_t pid, std::string appName, std::string compName);

  // Whether the event is about that component of that application.
  bool isFor(const std::string& app, const std::string& comp) const;
  // Whether both events are about the same component.
  bool sameComponent(const DeferredEvent& other) const {
    return isFor(other.appName, other.compName);
  }
};

#endif  // NORVAK_MONITOR_DEFERRED_EVENT_H_
