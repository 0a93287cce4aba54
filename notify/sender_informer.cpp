#include "notify/sender_informer.h"

#include <string.h>

#include "frame/log.h"
#include "notify/delivery_threads.h"
#include "notify/mail_text.h"
#include "notify/notify_info.h"
#include "notify/notify_limiter.h"

namespace {

DeliveryThreads& deliveries() {
  // Never destroyed: its last deliveries may end while the process exits.
  static DeliveryThreads* threads = new DeliveryThreads;
  return *threads;
}

void deliver(const std::string& command, const std::string& mail, int timeout) {
  logDebug("Run informer: \"" + command + "\"");
  const CommandDelivery d = deliverToCommand(command, mail, timeout);
  if (d.start == CommandDelivery::kPipeFailed) {
    logError(std::string("Error sending notification: popen(): ") + strerror(d.pipeError));
    return;
  }
  if (d.start == CommandDelivery::kForkFailed) {
    logError("Error sending notification: popen(): fork() error");
    return;
  }
  if (d.writeError != 0)
    logError(std::string("Error sending notification: fprintf(): ") + strerror(d.writeError));
  if (d.status.exited) {
    if (d.status.code != 0)
      logError("Informer exited with status: " + std::to_string(d.status.code));
    else
      logDebug("Informed successfully");
  } else if (d.status.signal > 0) {
    logError("Informer was terminated by signal");
  }
}

// The addresses come from the agent: a line end in one would let it add
// headers of its own to every report.
std::string headerValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c != '\n' && c != '\r') out += c;
  }
  return out;
}

// Queues the mail with the current addresses, past the limiter.
bool queueMail(const std::string& text, int timeout) {
  const NotifyInfo::Addresses addresses = NotifyInfo::instance().addresses();
  std::string headers;
  const std::string from = headerValue(addresses.from);
  const std::string to = headerValue(addresses.to);
  if (!from.empty()) headers = "From:" + from + "\n";
  headers += "To:" + (to.empty() ? localSuperuserMailbox() : to) + "\n";
  const std::string command = injectCmd();
  logDebug("send notification " + headers + ". Command: " + command);
  std::string mail = headers + text;
  return deliveries().start(
      [command, mail = std::move(mail), timeout] { deliver(command, mail, timeout); });
}

}  // namespace

SenderInformer::SenderInformer(int timeoutSeconds) : timeout_(timeoutSeconds) {}

bool SenderInformer::inform(const std::string& text) {
  const int timeout = timeout_;
  const NotifyLimiter::Route route = [timeout](const std::string& t) {
    return queueMail(t, timeout);
  };
  // Held back is handled: the summary tells of it.
  if (!NotifyLimiter::instance().admit(reportedComponent(text), route)) return true;
  return queueMail(text, timeout);
}

int SenderInformer::pendingDeliveries() { return deliveries().pending(); }

bool SenderInformer::waitDeliveries(int seconds) { return deliveries().wait(seconds); }
