#ifndef NORVAK_MONITOR_CMD_INFORMER_H_
#define NORVAK_MONITOR_CMD_INFORMER_H_

#include <string>

#include "notify/delivery_threads.h"
#include "notify/informer.h"

// Runs a command of the component's own (through /bin/sh -c) with the report
// on its standard input. inform() queues the delivery (DeliveryThreads)
// unless NotifyLimiter holds it back; the command is started when its turn
// comes, and killed with everything it started when it has not ended within
// the time-out.
class CmdInformer : public Informer {
 public:
  static constexpr int kDefaultTimeout = kDeliveryTimeout;  // seconds

  explicit CmdInformer(const std::string& command, int timeoutSeconds = kDefaultTimeout);

  // False only when the delivery could not be queued; a command that cannot
  // be started is logged by the delivery.
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
