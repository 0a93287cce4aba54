#ifndef NORVAK_MONITOR_PROCESS_WATCHER_H_
#define NORVAK_MONITOR_PROCESS_WATCHER_H_

#include "monitor/component_process.h"

class Application;
class Component;

// Where the processes of the components live under supervision: the loop
// they register with, and whoever handles what the loop sees of them. The
// monitor is the one; applications hand it on to their components.
class ProcessWatcher {
 public:
  virtual ~ProcessWatcher() = default;
  virtual boost::asio::io_context& loop() = 0;
  virtual void processEvent(Application& app, Component& comp, ComponentProcess::Event event) = 0;
};

#endif  // NORVAK_MONITOR_PROCESS_WATCHER_H_
