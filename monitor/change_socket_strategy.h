#ifndef NORVAK_MONITOR_CHANGE_SOCKET_STRATEGY_H_
#define NORVAK_MONITOR_CHANGE_SOCKET_STRATEGY_H_

#include <string>
#include <vector>

#include "monitor/comp_strategy.h"

// Check-all runs: starts the agent as a temporary agent on a side address
// with its own pid file, so the other components can check against it while
// a live agent may still own the usual address.
class ChangeSocketStrategy : public CompStrategy {
 public:
  ChangeSocketStrategy(const std::string& socket, const std::string& pidFile);

  void start(Component& comp, const std::string& dir, time_t faultTime,
             const std::string& appName) override;
  void addArgs(std::vector<std::string>& args) const override;
  std::string name() const override;
  std::string description() const override;

  const std::string& socket() const { return socket_; }
  const std::string& pidFile() const { return pidFile_; }

 private:
  std::string socket_;
  std::string pidFile_;
};

#endif  // NORVAK_MONITOR_CHANGE_SOCKET_STRATEGY_H_
