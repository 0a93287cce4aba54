#ifndef NORVAK_MONITOR_LOG_H_
#define NORVAK_MONITOR_LOG_H_

#include <string>

#include "frame/log_class.h"

// The two process-wide loggers: the program's and the IPC library's.
LogClass& mainLog();
LogClass& ipcLog();

// Initialises both loggers. The first call (boot time) records the check
// flags; in check mode the levels become "alert" and "error" whatever the
// settings say. A refused word or an unopenable file is logged as
// "error init log system: ..." and the loggers keep their state; returns true.
bool initLog(const std::string& target, const std::string& level,
             const std::string& ipcLevel, const std::string& facility,
             bool checkMode, bool checkAll);

// Main-logger messages; the text is cut to 1023 characters.
void logFatal(const std::string& text);
void logError(const std::string& text);
void logAlert(const std::string& text);
void logInfo(const std::string& text);
void logDebug(const std::string& text);
// Whether debug messages are written: lets callers skip building costly texts.
bool isDebugLog();

#endif  // NORVAK_MONITOR_LOG_H_
