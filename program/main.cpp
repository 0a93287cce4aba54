#include <exception>
#include <iostream>
#include <string>

#include "frame/log.h"
#include "frame/run_mode.h"
#include "frame/service_notify.h"
#include "program/monitor_program.h"
#include "program/start_report.h"

namespace {

void reportFirstRunSetStarted() { start_report::send(0, ""); }

// Runs the program object from creation to destruction. The object is gone
// (monitor stopped, pid file removed) before any exception reaches the caller.
// Answers the exit status the monitor asked for when it ended by itself.
int runProgram(const MonitorProgram::Options& options) {
  MonitorProgram program(options.runList, options.update);
  logInfo(std::string(kProgramTitle) + " starting");

  program.createMonitor(options.confFile);
  if (!program.changePermissions()) setCheckError();
  if (!options.checkOnly && !options.checkAll) program.daemonize();
  if (!isCheckMode()) program.makePidFile();
  program.setSignals();
  if (isCheckMode() && !isCheckAll()) {
    if (!program.verifyDependences()) setCheckError();
    if (!program.checkComponents()) setCheckError();
  }
  if (isNormalMode() || isCheckAll()) {
    program.startApplications();
    if (!isCheckAll()) {
      if (program.startMainLoopThread()) logInfo(std::string(kProgramTitle) + " started");
      notifyServiceReady();
      program.waitMainLoop();
      notifyServiceStopping();
    }
  }
  return program.endStatus();
}

}  // namespace

int main(int argc, char* argv[]) {
  MonitorProgram::Options options;
  try {
    if (MonitorProgram::parseCommandLine(argc, argv, options, std::cerr) != 0) return 6;
  } catch (const MonitorProgram::exit& e) {
    std::cout << e.what() << std::endl;
    return 0;
  }
  if (options.checkAll) options.checkOnly = true;

  initLog("syslog", "info", "error", "daemon", options.checkOnly, options.checkAll);

  setFirstRunSetHook(reportFirstRunSetStarted);
  int status = 0;
  auto fail = [&status](const std::string& line, int code) {
    setCheckError();
    logError(line);
    std::cerr << line << std::endl;
    status = code;
    start_report::send(status, line);
  };
  try {
    status = runProgram(options);
  } catch (const MonitorProgram::exit& e) {
    std::cout << e.what() << std::endl;
    return 0;
  } catch (const MonitorProgram::error& e) {
    fail(std::string("program create error: ") + e.what(), 8);
  } catch (const std::exception& e) {
    fail(std::string("global error: ") + e.what(), 1);
  }
  // Stopped by a signal before the first run set was through: not a failure.
  start_report::send(status, "");

  if (isCheckMode()) {
    if (hasCheckError()) {
      std::cerr << "Options ERROR" << std::endl;
      status = 8;
    } else {
      std::cout << "Options OK" << std::endl;
    }
  }
  logInfo(std::string(kProgramTitle) + " shutdown");
  return status;
}
