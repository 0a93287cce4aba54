#include "notify/cmd_informer.h"

#include "frame/log.h"
#include "notify/delivery_threads.h"
#include "notify/mail_text.h"
#include "notify/notify_limiter.h"

namespace {

DeliveryThreads& deliveries() {
  // Never destroyed: its last deliveries may end while the process exits.
  static DeliveryThreads* threads = new DeliveryThreads;
  return *threads;
}

void deliver(const std::string& command, const std::string& text, int timeout) {
  const CommandDelivery d = deliverToCommand(command, text, timeout);
  if (d.start == CommandDelivery::kPipeFailed) {
    logError("error inform: pipe() error. Data=" + text);
    return;
  }
  if (d.start == CommandDelivery::kForkFailed) {
    logError("error inform: fork() error. Data=" + text);
    return;
  }
  if (d.writeError != 0) logError("error inform: write() error. Data=" + text);
  if (d.status.signal > 0)
    logError("informer command \"" + command + "\" terminated by signal" +
             std::to_string(d.status.signal));
  logInfo("execute command: \"" + command + "\". Transfer message in stdin: " + text);
}

}  // namespace

CmdInformer::CmdInformer(const std::string& command, int timeoutSeconds)
    : command_(command), timeout_(timeoutSeconds) {}

bool CmdInformer::inform(const std::string& text) {
  const NotifyLimiter::Route route = [command = command_,
                                      timeout = timeout_](const std::string& t) {
    return deliveries().start([command, t, timeout] { deliver(command, t, timeout); });
  };
  // Held back is handled: the summary tells of it.
  if (!NotifyLimiter::instance().admit(reportedComponent(text), route)) return true;
  return route(text);
}

int CmdInformer::pendingDeliveries() { return deliveries().pending(); }

bool CmdInformer::waitDeliveries(int seconds) { return deliveries().wait(seconds); }
