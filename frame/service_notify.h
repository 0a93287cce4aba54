#ifndef NORVAK_FRAME_SERVICE_NOTIFY_H_
#define NORVAK_FRAME_SERVICE_NOTIFY_H_

// Tells a service manager that asked for it ($NOTIFY_SOCKET, systemd's
// Type=notify) how the monitor is doing, so that units ordered after the
// monitor wait for its first applications and a stop is shown as a stop.
// Without the variable, or where the program was built without libsystemd,
// both do nothing. Neither ever fails the caller.
void notifyServiceReady();
void notifyServiceStopping();

// Whether this build can talk to a service manager at all.
bool serviceNotifySupported();

#endif  // NORVAK_FRAME_SERVICE_NOTIFY_H_
