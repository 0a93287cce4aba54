#ifndef NORVAK_MONITOR_SENDER_INFORMER_H_
#define NORVAK_MONITOR_SENDER_INFORMER_H_

#include <string>

#include "notify/informer.h"

// Mails the report through the inject command (setInjectCmd, notify_info.h).
// Each mail is delivered on its own detached thread, which ends when the
// command has read the mail and exited; a slow or hanging mail command holds
// only its own thread, never the caller.
class SenderInformer : public Informer {
 public:
  bool inform(const std::string& text) override;
  int type() const override { return MAIL; }

  // Deliveries started and not yet finished, over the whole process.
  static int pendingDeliveries();
  // Waits up to `seconds` for every pending delivery to finish; true when
  // none is left. Meant for shut-down, so that the last reports are not cut
  // off by the process exit.
  static bool waitDeliveries(int seconds);
};

#endif  // NORVAK_MONITOR_SENDER_INFORMER_H_
