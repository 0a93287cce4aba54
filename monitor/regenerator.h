#ifndef NORVAK_MONITOR_REGENERATOR_H_
#define NORVAK_MONITOR_REGENERATOR_H_

class Application;

// Whom an application tells about its whole starts and stops (the monitor,
// which tells the agent); tests supply their own.
class Regenerator {
 public:
  virtual ~Regenerator() {}
  virtual void appStarted(const Application& app) = 0;
  virtual void appStopped(const Application& app) = 0;
};

#endif  // NORVAK_MONITOR_REGENERATOR_H_
