#ifndef NORVAK_MONITOR_REGENERATOR_H_
#define NORVAK_MONITOR_REGENERATOR_H_

#include "frame/app_name_less.h"

class Application;

// What an application needs from the supervisor around its starts: pending
// fault events of its dependencies must be handled before a component of a
// dependent application starts, and the agent is told about whole-application
// starts and stops. The monitor implements it; tests supply their own.
class Regenerator {
 public:
  virtual ~Regenerator() {}
  // Handles the pending events of the named applications; the result is
  // informational only.
  virtual bool regenerate(const AppNameSet& names) = 0;
  virtual void appStarted(const Application& app) = 0;
  virtual void appStopped(const Application& app) = 0;
};

#endif  // NORVAK_MONITOR_REGENERATOR_H_
