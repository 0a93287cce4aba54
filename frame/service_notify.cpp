#include "frame/service_notify.h"

#ifdef NORVAK_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#include <time.h>

#include <cstring>
#include <string>

#include "frame/log.h"

namespace {

// The variable stays set: the stop is announced through it as well. A
// component that inherits it and speaks the protocol itself is ignored by
// systemd (NotifyAccess=main), which only costs a line in the journal.
void tell(const char* state) {
  const int r = sd_notify(0, state);
  if (r < 0) logAlert(std::string("cannot notify the service manager: ") + std::strerror(-r));
}

}  // namespace

void notifyServiceReady() { tell("READY=1"); }
void notifyServiceStopping() { tell("STOPPING=1"); }

void notifyServiceStatus(const std::string& text) {
  // A line break would start another assignment of the manager's protocol.
  std::string line = "STATUS=";
  for (char c : text) line += c == '\n' ? ' ' : c;
  tell(line.c_str());
}

void notifyServiceReloading() {
  // systemd takes a reload for its own only with the time it began, on the
  // clock it uses itself.
  struct timespec ts = {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const unsigned long long usec =
      static_cast<unsigned long long>(ts.tv_sec) * 1000000ULL + ts.tv_nsec / 1000;
  tell(("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec)).c_str());
}

void notifyServiceWatchdog() { tell("WATCHDOG=1"); }

std::chrono::microseconds serviceWatchdogInterval() {
  uint64_t usec = 0;
  // WATCHDOG_PID, when set, must name this process.
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::chrono::microseconds(0);
  return std::chrono::microseconds(usec / 2);
}

bool serviceNotifySupported() { return true; }

#else

void notifyServiceReady() {}
void notifyServiceStopping() {}
void notifyServiceStatus(const std::string&) {}
void notifyServiceReloading() {}
void notifyServiceWatchdog() {}
std::chrono::microseconds serviceWatchdogInterval() { return std::chrono::microseconds(0); }
bool serviceNotifySupported() { return false; }

#endif
