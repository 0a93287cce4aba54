#ifndef NORVAK_MONITOR_SENDER_INFORMER_H_
#define NORVAK_MONITOR_SENDER_INFORMER_H_

#include <string>

#include "notify/delivery_threads.h"
#include "notify/informer.h"

// Mails the report through the inject command (setInjectCmd, notify_info.h).
// inform() queues the delivery (DeliveryThreads), never waiting for the mail
// command, unless NotifyLimiter holds the mail back; a command that has not
// ended within the time-out is killed with everything it started.
class SenderInformer : public Informer {
 public:
  static constexpr int kDefaultTimeout = kDeliveryTimeout;  // seconds

  explicit SenderInformer(int timeoutSeconds = kDefaultTimeout);

  bool inform(const std::string& text) override;
  int type() const override { return MAIL; }

  // Deliveries started and not yet finished, over the whole process.
  static int pendingDeliveries();
  // Waits up to `seconds` for every pending delivery to finish; true when
  // none is left. Meant for shut-down, so that the last reports are not cut
  // off by the process exit.
  static bool waitDeliveries(int seconds);

 private:
  int timeout_;
};

#endif  // NORVAK_MONITOR_SENDER_INFORMER_H_
