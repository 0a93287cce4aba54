#ifndef NORVAK_TESTS_INTEGRATION_SUPPORT_MONITOR_HARNESS_H_
#define NORVAK_TESTS_INTEGRATION_SUPPORT_MONITOR_HARNESS_H_

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "file_util.h"
#include "process_scan.h"
#include "temp_dir.h"

namespace norvak_test {

// Logged once the monitor's first run set is up.
constexpr char kMonitorStarted[] = "Norvak (R) Components Monitor started";

using ::readFile;
// Written aside and renamed, so that a reloading monitor never reads half.
void writeFile(const std::string& path, const std::string& text);
// Lines of a file, without their line ends; none when it does not exist.
std::vector<std::string> fileLines(const std::string& path);

using ::processesMentioning;
// Live processes whose argv[0] is exactly path.
std::vector<pid_t> processesRunning(const std::string& path);
// The process exists, zombies included.
bool processExists(pid_t pid);
// SIGKILL to every live process whose command line contains text.
void killMentioning(const std::string& text);
// The system's python3, the tests' real server; empty when not installed.
std::string findPython();

// Figures of a live process from /proc; 0 or empty once it is gone.
// CPU time used so far, user and system, in seconds.
double cpuSecondsOf(pid_t pid);
// CPU seconds it uses while the caller sleeps for ms.
double cpuSecondsOver(pid_t pid, int ms);
int threadsOf(pid_t pid);
using ::childrenOf;

// Milliseconds of the monotonic clock, for timing what the monitor does.
long long nowMs();
void sleepMs(int ms);

// One component line of a meta-configuration block. Every component gets
// "--args-log" and "--hup-log" files of its own in front of its arguments,
// so that tests can count its starts and the SIGHUPs it received.
struct CompDef {
  CompDef(std::string n, std::string a = "", int start = 5, int stop = 3)
      : name(std::move(n)), args(std::move(a)), timeStart(start), timeStop(stop) {}
  std::string name;
  std::string args;
  int timeStart;
  int timeStop;
  std::string log = "MAIL";
  std::string user = "-";  // "-": the monitor's own
};

struct ConfValues {
  explicit ConfValues(std::string runApps = "AGENT") : runAppList(std::move(runApps)) {}
  std::string runAppList;
  std::string recoveryTimeList = "1";
  // Empty: the key left out, the default taken.
  std::string stableTime;
  std::string level = "Debug";
  // Empty: fake-inject filing into mailDir().
  std::string injectCmd;
  // Keys of the [Monitor] section left out of the file.
  std::vector<std::string> omitKeys;
  // False: AgentAddress is empty, the suite runs without an agent.
  bool withAgent = true;
};

// A throw-away installation of the monitor: a temporary directory with the
// component executables (symlinks to fake-component), the meta-configuration,
// the pid-file directory, a mail box filled by fake-inject and the log; and
// the monitor itself as a child process.
//
// The test process becomes a child subreaper, so that components orphaned by
// a monitor that died are reaped here. Destruction stops the monitor (SIGTERM,
// then SIGKILL) and kills every process still mentioning the directory, so a
// failed test leaves nothing running.
class MonitorHarness {
 public:
  MonitorHarness();
  ~MonitorHarness();
  MonitorHarness(const MonitorHarness&) = delete;
  MonitorHarness& operator=(const MonitorHarness&) = delete;

  const std::string& root() const { return dir_.path(); }
  std::string binDir() const { return root() + "/bin/"; }
  std::string runDir() const { return root() + "/run/"; }
  std::string mailDir() const { return root() + "/mail/"; }
  std::string metaDir() const { return root() + "/meta/"; }
  std::string logFile() const { return root() + "/monitor.log"; }
  std::string confFile() const { return root() + "/monitor.conf"; }
  std::string pidFile() const { return runDir() + "norvak-monitor.pid"; }
  std::string argsLog(const std::string& comp) const { return root() + "/trace/" + comp + ".args"; }
  std::string hupLog(const std::string& comp) const { return root() + "/trace/" + comp + ".hup"; }

  // Links fake-component as dir/name (dir relative to the root, created).
  void addComponent(const std::string& name, const std::string& dir = "bin");
  // An APPLICATION block; path is relative to the root. Links the components.
  std::string app(const std::string& name, const std::string& deps,
                  const std::vector<CompDef>& comps, const std::string& path = "bin");
  // AGENT, and for each entry an application of that one component that
  // depends on AGENT; all of them make the run list of conf, then written.
  void agentSuite(const std::vector<std::pair<std::string, CompDef>>& apps,
                  ConfValues conf = ConfValues());
  void writeMeta(const std::string& file, const std::string& text);
  void removeMeta(const std::string& file);
  void writeConf(const ConfValues& values);
  // Replaces the value of a key in the file writeConf wrote.
  void setConfValue(const std::string& key, const std::string& value);

  // An environment variable of the monitor (and so of its children) for the
  // next start().
  void setEnv(const std::string& name, const std::string& value);
  // Seconds shutdown() grants the monitor after SIGTERM before SIGKILL
  // (default 30). Tests that expect a monitor stuck somewhere shorten it, so
  // that they fail quickly instead of waiting for the monitor to give in.
  void setStopGrace(int seconds) { stopGrace_ = seconds; }

  // The monitor's wall clock can be stepped: useClockShift() (before
  // start()) preloads a library that adds the seconds given to
  // shiftWallClock() to every wall-clock reading; the monotonic clock is
  // untouched. False when the library was not built.
  bool useClockShift();
  void shiftWallClock(long seconds);

  // From the next start() on, the monitor starts in root() and is given the
  // configuration file by its name relative to there.
  void useRelativeConf() { relativeConf_ = true; }

  // Starts "norvak-monitor --conf <conf>" followed by args, in the
  // foreground with its output in files.
  void start(const std::vector<std::string>& args = {});
  // start(), then the wait for kMonitorStarted; false on time-out.
  bool startUp(const std::vector<std::string>& args = {});
  pid_t pid() const { return pid_; }
  void signal(int sig);
  // Waits for the monitor's end; false on time-out. status is waitpid's.
  bool waitExit(int& status, int timeoutSec = 30);
  // Runs the monitor to its end; returns the exit status (-1 if it did not
  // exit normally in time).
  int runToEnd(const std::vector<std::string>& args, std::string& out, std::string& err,
               int timeoutSec = 30);
  std::string stdoutText() const;
  std::string stderrText() const;

  // The log, read incrementally. waitLine answers the index of the first
  // line at or after from that contains text, -1 on time-out.
  int waitLine(const std::string& text, size_t from = 0, int timeoutSec = 30);
  int findLine(const std::string& text, size_t from = 0);
  // Lines at or after from that contain text.
  int countLines(const std::string& text, size_t from = 0);
  size_t lineCount();
  // The line at index (empty past the end).
  std::string lineAt(size_t index);

  // Component processes of bin/name (or of any path given).
  std::vector<pid_t> componentPids(const std::string& name) const;
  // The single live process of the component, waiting for it; -1 on time-out.
  pid_t waitComponent(const std::string& name, pid_t notPid = -1, int timeoutSec = 30);
  // Kills the component's single process and answers the milliseconds until
  // its restart has answered, -1 when that takes longer than timeoutMs.
  long long restartMs(const std::string& name, int timeoutMs = 10000);
  // Lines of the trace logs.
  std::vector<std::string> starts(const std::string& comp) const {
    return fileLines(argsLog(comp));
  }
  std::vector<std::string> hups(const std::string& comp) const { return fileLines(hupLog(comp)); }
  // Waits until the file has at least n lines; false on time-out.
  bool waitLines(const std::string& path, size_t n, int timeoutSec = 30) const;

  // Mails filed by fake-inject, oldest first.
  std::vector<std::string> mails() const;
  bool waitMails(size_t n, int timeoutSec = 30) const;

  // Stops the monitor (if running) and kills whatever is left.
  void shutdown();

 private:
  void refreshLog();

  TempDir dir_;
  std::vector<std::pair<std::string, std::string>> env_;
  int stopGrace_ = 30;
  bool relativeConf_ = false;
  pid_t pid_ = -1;
  bool reaped_ = true;
  std::vector<std::string> lines_;
  std::string partial_;
  off_t logOffset_ = 0;
};

}  // namespace norvak_test

#endif  // NORVAK_TESTS_INTEGRATION_SUPPORT_MONITOR_HARNESS_H_
