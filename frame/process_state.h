#ifndef NORVAK_MONITOR_PROCESS_STATE_H_
#define NORVAK_MONITOR_PROCESS_STATE_H_

// The life phase of the whole process. Every supervision loop tests it, the
// signal thread ends it, and long waits (retry sleeps between component
// starts) must end promptly when it turns to STOPPED.
enum ProcessState {
  INIT = 1,
  STARTED = 2,
  STOPPED = 3,
};

ProcessState getProcessState();
// Wakes every sleepUnlessStopped() so it can re-check the state.
void setProcessState(ProcessState state);
// "INIT", "STARTED", "STOPPED"; "unknown" for any other value.
const char* processStateName(int state);
// True while the state is STARTED.
bool isProcessRunning();

// Sleeps up to `seconds`, returning early as soon as the state is STOPPED.
// Returns false when it ended because of STOPPED (also when it was STOPPED on
// entry), true when the whole time passed.
bool sleepUnlessStopped(int seconds);

#endif  // NORVAK_MONITOR_PROCESS_STATE_H_
