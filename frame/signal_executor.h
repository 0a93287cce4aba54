#ifndef NORVAK_MONITOR_SIGNAL_EXECUTOR_H_
#define NORVAK_MONITOR_SIGNAL_EXECUTOR_H_

#include <string>

// What the signal processors call. The calls come from the signal-wait
// thread and must stay short: set a flag or the process state.
class SignalExecutor {
 public:
  virtual ~SignalExecutor() = default;
  virtual void reload(int signal, const std::string& name) = 0;
  virtual void terminate(int signal, const std::string& name) = 0;
  virtual void inform(int signal, const std::string& name) = 0;
};

#endif  // NORVAK_MONITOR_SIGNAL_EXECUTOR_H_
