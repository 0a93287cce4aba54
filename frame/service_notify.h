#ifndef NORVAK_FRAME_SERVICE_NOTIFY_H_
#define NORVAK_FRAME_SERVICE_NOTIFY_H_

#include <chrono>
#include <string>

// Tells a service manager that asked for it ($NOTIFY_SOCKET, systemd's
// Type=notify) how the monitor is doing, so that units ordered after the
// monitor wait for its first applications, a stop is shown as a stop and
// `systemctl status` shows what the monitor is at. Without the variable, or
// where the program was built without libsystemd, all of them do nothing.
// None ever fails the caller.
void notifyServiceReady();
void notifyServiceStopping();
// One line for `systemctl status`.
void notifyServiceStatus(const std::string& text);
// A reload begins; READY=1 says it is over.
void notifyServiceReloading();
// The loop is alive.
void notifyServiceWatchdog();
// How often the manager wants to hear that the loop is alive: half its
// watchdog period when it set one for this process, else zero.
std::chrono::microseconds serviceWatchdogInterval();

// Whether this build can talk to a service manager at all.
bool serviceNotifySupported();

#endif  // NORVAK_FRAME_SERVICE_NOTIFY_H_
