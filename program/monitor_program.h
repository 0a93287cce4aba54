#ifndef NORVAK_MONITOR_MONITOR_PROGRAM_H_
#define NORVAK_MONITOR_MONITOR_PROGRAM_H_

#include <sys/types.h>

#include <boost/thread/thread.hpp>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>

#include "frame/signal_handler.h"
#include "ipc/nk_unique_fd.h"

class Monitor;

// The process shell: turns a command line into a daemon supervising its
// applications, then waits for the thread running the monitor's loop to end.
// Owns the monitor, that thread, and the locked pid file. Its signal side
// blocks the monitor's signals in every thread but the loop's, which takes
// them as events.
class MonitorProgram : public SignalHandler {
 public:
  // Help or version text: printed on standard output, then the process ends
  // with status 0.
  class exit : public std::runtime_error {
   public:
    explicit exit(const std::string& text) : std::runtime_error(text) {}
  };

  // Fatal start-up failure. The code tells where it was raised (3 pid file,
  // 4 new session, 5 working directory, 7 application start, 33 monitor
  // creation); the exit status does not depend on it.
  class error : public std::runtime_error {
   public:
    error(int code, const std::string& text) : std::runtime_error(text), code_(code) {}
    int code() const { return code_; }

   private:
    int code_;
  };

  struct Options {
    std::string confFile;
    std::string runList;
    bool update = false;
    bool checkOnly = false;
    bool checkAll = false;
  };

  // Fills options and returns 0. Help and version come out as `exit`; any
  // other command-line error is reported on `err` and gives 6.
  static int parseCommandLine(int argc, const char* const argv[], Options& options,
                              std::ostream& err);

  MonitorProgram(const std::string& runList, bool update);
  ~MonitorProgram() override;

  bool createMonitor(const std::string& confFile);
  bool changePermissions();
  void daemonize();
  void makePidFile();
  bool setSignals();
  bool verifyDependences();
  // Check mode: what would stop a component of the first run set from
  // starting (unknown user or group, missing or non-executable program),
  // logged; false when anything was found.
  bool checkComponents();
  bool startApplications();
  bool startMainLoopThread();
  // Until the main loop has ended: SIGTERM or SIGINT, or the end of every
  // application, ends it.
  void waitMainLoop();
  void stop();
  // What the monitor asks the process to exit with once it has ended.
  int endStatus() const;

  const std::string& pidFilePath() const { return pidFilePath_; }

 private:
  void chownLogFile();

  // Every step that needs the monitor object goes through these.
  void buildMonitor(const std::string& confFile);
  bool hasMonitor() const;
  void stopMonitor();
  void destroyMonitor();
  SignalExecutor* signalExecutor();
  void handPidToMonitor(pid_t pid);
  bool monitorKnowsPid() const;
  pid_t monitorPid() const;
  void computeFirstRunAppSet();
  void startMonitor();
  void runMainLoop();
  uid_t firstNotRootComponentUid();
  gid_t firstNotRootComponentGid();
  // The longest TimeStart among the components of the first run set.
  int firstRunSetTimeStart();
  std::string settingUser() const;
  std::string settingGroup() const;
  std::string settingChDir() const;
  std::string settingPidFileDir() const;
  bool settingRunForeground() const;

  std::string pidFilePath_;
  norvak::base::UniqueFd pidFile_;  // holds the pid-file lock for the life of the program
  std::unique_ptr<Monitor> monitor_;
  std::string runList_;
  bool update_;
  pid_t ownPid_ = -1;
  boost::thread mainLoopThread_;
};

#endif  // NORVAK_MONITOR_MONITOR_PROGRAM_H_
