#include "frame/service_notify.h"

#ifdef NORVAK_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>

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
bool serviceNotifySupported() { return true; }

#else

void notifyServiceReady() {}
void notifyServiceStopping() {}
bool serviceNotifySupported() { return false; }

#endif
