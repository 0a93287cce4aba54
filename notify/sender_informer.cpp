#include "notify/sender_informer.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

#include "frame/log.h"
#include "frame/utils.h"
#include "notify/delivery_threads.h"
#include "notify/notify_info.h"

namespace {

DeliveryThreads& deliveries() {
  // Never destroyed: detached deliveries may outlive main().
  static DeliveryThreads* threads = new DeliveryThreads;
  return *threads;
}

void deliver(const std::string& command, const std::string& mail) {
  logDebug("Run informer: \"" + command + "\"");
  // "e": the write end must not leak into other children, or a concurrent
  // one would keep this command's input open and the mail would never end.
  FILE* pipe = popen(command.c_str(), "we");
  if (pipe == nullptr) {
    logError(std::string("Error sending notification: popen(): ") + strerror(errno));
    return;
  }
  // Blocked only now, so that the mail command does not inherit the mask: a
  // command that quits early must give this write EPIPE, not end the monitor.
  // The signal stays pending on this thread and goes with it.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
  try {
    Utils::writeAll(fileno(pipe), mail);
  } catch (const Utils::error& e) {
    logError(std::string("Error sending notification: fprintf(): ") + e.what());
  }
  const int status = pclose(pipe);
  if (status == -1) {
    logError(std::string("Error sending notification: pclose(): ") + strerror(errno));
  } else if (WIFEXITED(status)) {
    if (WEXITSTATUS(status) != 0)
      logError("Informer exited with status: " + std::to_string(WEXITSTATUS(status)));
    else
      logDebug("Informed successfully");
  } else if (WIFSIGNALED(status)) {
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

}  // namespace

bool SenderInformer::inform(const std::string& text) {
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
      [command, mail = std::move(mail)]() { deliver(command, mail); });
}

int SenderInformer::pendingDeliveries() { return deliveries().pending(); }

bool SenderInformer::waitDeliveries(int seconds) { return deliveries().wait(seconds); }
