#ifndef NORVAK_MONITOR_CMD_INFORMER_H_
#define NORVAK_MONITOR_CMD_INFORMER_H_

#include <string>

#include "notify/informer.h"

// Runs a command of the component's own (through /bin/sh -c) with the report
// on its standard input. The command is started by inform(); writing the text
// and waiting for the command happen on a detached thread, which kills the
// command with SIGKILL when it has not ended within the time-out, and reaps it.
class CmdInformer : public Informer {
 public:
  static constexpr int kDefaultTimeout = 30;  // seconds

  explicit CmdInformer(const std::string& command, int timeoutSeconds = kDefaultTimeout);

  // False only when the command could not be started (pipe or fork failure).
  bool inform(const std::string& text) override;
  int type() const override { return COMMAND; }

  const std::string& command() const { return command_; }

  // Deliveries started and not yet finished, over the whole process.
  static int pendingDeliveries();
  // Waits up to `seconds` for every pending delivery to finish; true when
  // none is left.
  static bool waitDeliveries(int seconds);

 private:
  std::string command_;
  int timeout_;
};

#endif  // NORVAK_MONITOR_CMD_INFORMER_H_
