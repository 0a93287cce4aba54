#ifndef NORVAK_MONITOR_FAULT_CAUSE_H_
#define NORVAK_MONITOR_FAULT_CAUSE_H_

#include <cstddef>

// Why the monitor counted a component as failed. Only the process's own end
// (by a signal, or an exit nobody asked for) exists so far; the failed
// health check and the silent watchdog have their places so that the
// counters by cause keep one shape when they come.
enum class FaultCause { kSignal, kExit, kCheck, kWatchdog };

constexpr size_t kFaultCauses = 4;

// The cause's word in the metrics' "cause" label.
inline const char* faultCauseName(FaultCause cause) {
  static const char* const kNames[kFaultCauses] = {"signal", "exit", "check", "watchdog"};
  return kNames[static_cast<size_t>(cause)];
}

#endif  // NORVAK_MONITOR_FAULT_CAUSE_H_
