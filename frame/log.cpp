#include "frame/log.h"

#include <exception>

#include "frame/run_mode.h"

LogClass& mainLog() {
  static LogClass* log = new LogClass;  // never destroyed: threads may log at exit
  return *log;
}

LogClass& ipcLog() {
  static LogClass* log = [] {
    LogClass* l = new LogClass;
    norvak::base::NkSetLog(l);
    return l;
  }();
  return *log;
}

bool initLog(const std::string& target, const std::string& level,
             const std::string& ipcLevel, const std::string& facility,
             bool checkMode, bool checkAll) {
  static bool flagsRecorded = false;
  if (!flagsRecorded) {
    setRunModes(checkMode, checkAll);
    flagsRecorded = true;
  }
  bool check = isCheckMode();
  try {
    mainLog().setName("monitor");
    mainLog().init(target, check ? "alert" : level, facility, check);
    ipcLog().setName("monitor");
    ipcLog().init(target, check ? "error" : ipcLevel, facility, check);
    mainLog().setEcho(check);
  } catch (const std::exception& e) {
    logError(std::string("error init log system: ") + e.what());
  }
  return true;
}

namespace {
void logCut(int level, const std::string& text) {
  LogClass& log = mainLog();
  if (!log.enabled(level)) return;
  if (text.size() > 1023) {
    log.write(level, text.substr(0, 1023));
  } else {
    log.write(level, text);
  }
}
}  // namespace

void logFatal(const std::string& text) { logCut(LogClass::FATAL, text); }
void logError(const std::string& text) { logCut(LogClass::ERROR, text); }
void logAlert(const std::string& text) { logCut(LogClass::ALERT, text); }
void logInfo(const std::string& text) { logCut(LogClass::INFO, text); }
void logDebug(const std::string& text) { logCut(LogClass::DEBUG, text); }
bool isDebugLog() { return mainLog().enabled(LogClass::DEBUG); }
