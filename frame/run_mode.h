#ifndef NORVAK_MONITOR_RUN_MODE_H_
#define NORVAK_MONITOR_RUN_MODE_H_

// Process-wide run-mode flags. Check mode and check-all mode are written once,
// by the first logging initialisation, before any thread exists; the check
// error flag only ever goes from false to true.

extern const char* const kProgramName;   // "norvak-monitor"
extern const char* const kProgramTitle;  // "Norvak (R) Components Monitor"
extern const char* const kProgramVersion;  // "6.0.0.201105110"

void setRunModes(bool checkMode, bool checkAll);
bool isCheckMode();
bool isCheckAll();
bool isNormalMode();
bool hasCheckError();
void setCheckError();

// The detached daemon's parent waits for the first run set before it exits;
// the monitor calls this once that set has started. Does nothing without a
// hook.
void setFirstRunSetHook(void (*hook)());
void firstRunSetStarted();

#endif  // NORVAK_MONITOR_RUN_MODE_H_
