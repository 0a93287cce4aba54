#ifndef NORVAK_MONITOR_COMPONENT_H_
#define NORVAK_MONITOR_COMPONENT_H_

#include <sys/types.h>
#include <time.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame/child_process.h"
#include "frame/clock.h"
#include "ipc/nk_unique_fd.h"
#include "monitor/output_lines.h"

class CompStrategy;
class Informer;

// One supervised program: its definition from the meta-configuration and,
// while it runs, its process. The process keeps the write end of the start
// pipe as its standard output; the read end (fd) stays here: the answer comes
// through it, and end of file on it tells the monitor that the process has
// gone. So does the process's pidfd, which also tells of a death while a
// descendant of the program still holds the pipe.
//
// A start has three steps so that the supervision loop never blocks on it:
// beginStart() spawns the process, the loop waits for the answer pipe (or the
// deadline) together with everything else, completeStart() reads the answer.
//
// Used only from the thread that drives the application store; no locks.
class Component {
 public:
  // The process ended by itself (normal exit) instead of answering.
  class StopedHimself : public std::runtime_error {
   public:
    StopedHimself() : std::runtime_error("component stoped himself") {}
  };

  static const int kLogTypeLog = 1;
  static const int kLogTypeMail = 2;
  static const int kLogTypeCommand = 3;

  explicit Component(const std::string& name);
  // Copies the definition only: the copy has no process, no descriptor and no
  // informer. Stores copy definitions from freshly loaded stores this way.
  Component(const Component& other);
  Component(Component&& other) noexcept;
  Component& operator=(Component&& other) noexcept;
  Component& operator=(const Component&) = delete;
  ~Component();

  // Definition (filled by the meta-configuration reader).
  const std::string& name() const { return name_; }
  const std::string& argv() const { return argv_; }
  const std::string& user() const { return user_; }
  const std::string& group() const { return group_; }
  int timeStart() const { return timeStart_; }
  int timeStop() const { return timeStop_; }
  int logType() const { return logType_; }
  const std::string& cmd() const { return cmd_; }
  bool isAgent() const { return agent_; }
  void setArgv(const std::string& argv) { argv_ = argv; }
  void setUser(const std::string& user) { user_ = user; }
  void setGroup(const std::string& group) { group_ = group; }
  void setTimeStart(int seconds) { timeStart_ = seconds; }
  void setTimeStop(int seconds) { timeStop_ = seconds; }
  void setLogType(int logType) { logType_ = logType; }
  void setCmd(const std::string& cmd) { cmd_ = cmd; }
  void setAgent(bool agent) { agent_ = agent; }
  // user + ":" + group
  std::string permissions() const { return user_ + ":" + group_; }
  // "LOG", "MAIL", or the command in double quotes.
  std::string logTypeText() const;
  // Lookups of user and group; throw Utils::error when the name is unknown,
  // 0 for an empty name.
  uid_t uid() const;
  gid_t gid() const;
  // What would make a start from dir fail, found without starting anything:
  // an unknown user or group, an executable that is missing or that the
  // identity the program would run as may not execute. Empty when none.
  std::vector<std::string> startProblems(const std::string& dir) const;

  // Runtime state.
  // The start pipe while the process starts or runs; -1 otherwise.
  int fd() const { return fd_.get(); }
  // The current process, or the last one after it ended; -1 before any.
  pid_t pid() const { return pid_; }
  // Readable once the process has ended; -1 when not running or the kernel
  // has no pidfd.
  int pidfd() const { return running() ? proc_.pidfd() : -1; }
  // Answered and not stopped since.
  bool running() const { return state_ == State::kRunning; }
  // Spawned, its answer not read yet.
  bool starting() const { return state_ == State::kStarting; }
  Clock::MonoTime answerDeadline() const { return deadline_; }
  pid_t signalledPid() const { return signalledPid_; }
  // Read end of the standard-error pipe of a check-all start, or -1.
  int diagFd() const { return diagFd_.get(); }
  // Read end of the standard-error pipe of a start that is not check-all
  // (then standard error is the check dialogue), or -1. Closed when the
  // program closes its end; that alone is no death.
  int errorFd() const { return errFd_.get(); }
  const Informer* informer() const { return informer_.get(); }
  // For the administrators' status: when the current process answered (0
  // before), restarts begun since the monitor started, the last unexpected
  // end and how it ended ("exit N" / "signal NAME"), and whether the
  // recovery gave up on it (cleared by the next successful start).
  time_t startTime() const { return startTime_; }
  int restarts() const { return restarts_; }
  time_t lastFaultTime() const { return lastFaultTime_; }
  const std::string& lastFaultCause() const { return lastFaultCause_; }
  bool givenUp() const { return givenUp_; }
  void countRestart() { ++restarts_; }
  void setGivenUp() { givenUp_ = true; }

  // Rebuilds the informer from logType and cmd; called before every start.
  void createInformer();

  // The start with the one-byte answer, in steps. beginStart spawns the
  // process (std::logic_error for a double start, std::runtime_error when it
  // cannot be spawned); completeStart reads the answer once the pipe is
  // readable, or takes the silence as the answer once the deadline passed,
  // and throws std::runtime_error (with the reason) or StopedHimself unless
  // the component then runs. A failed start is stopped and reaped.
  void beginStart(CompStrategy& strategy, const std::string& dir, Clock::MonoTime now);
  // Blocks until the answer pipe is readable (true) or the deadline passed;
  // clock is the one the deadline was set by.
  bool waitForAnswer(const Clock& clock = Clock::system()) const;
  void completeStart(bool timedOut);
  // All steps, blocking. faultTime > 0 marks a recovery start, which sends
  // the recovery report.
  void startStandart(CompStrategy& strategy, const std::string& dir, time_t faultTime, int tryNo,
                     const std::string& appName);
  // The recovery report of a restart that has answered.
  void reportRecovery(time_t now, time_t faultTime, int tryNo, const std::string& appName,
                      const std::string& dir);
  // Check-all start: echoes the program's findings on standard error and sets
  // the check error flag unless it answers "Options OK". Leaves running set.
  void startCheckOnly(CompStrategy& strategy, const std::string& dir);

  // Stops a starting or running component. Returns true when the process
  // ended by a normal exit.
  bool stop(bool fault);

  // What the program writes on standard output after its answer, and on
  // standard error, is logged line by line under its name, a burst of lines
  // per second at most; the rest is counted and the count logged once a
  // second. Both pipes share a read budget per period: past it,
  // outputPaused() tells the loop to leave them alone for the rest of the
  // period, so a program that writes without pause waits on its full pipe
  // instead of the monitor spinning. drainOutput returns true at end of file
  // of standard output (the process has gone); drainError closes the
  // standard-error pipe at its end.
  bool drainOutput(Clock::MonoTime now);
  void drainError(Clock::MonoTime now);
  bool outputPaused(Clock::MonoTime now, Clock::MonoTime& resumeAt) const;
  // When a count of suppressed lines is to be logged; reportSuppressed logs
  // it once that time has come.
  bool outputReportDue(Clock::MonoTime& at) const { return limiter_.reportDue(at); }
  void reportSuppressed(Clock::MonoTime now);
  // The process has ended, seen without reaping it (for kernels without
  // pidfd; the reaping belongs to the stop that follows).
  bool processEnded() const;

  // Handles the end of the component's process. Returns true when the
  // process had stopped by itself (no report sent).
  bool fault(time_t faultTime, const std::string& appName, const std::string& dir,
             const std::vector<std::string>& affectedApps);
  void cannotRecover(time_t faultTime, const std::string& appName, const std::string& dir);

  void sendSignal(int sig);
  // Sends sig if pid is listed, removing it from the list.
  void signalIfListed(std::set<pid_t>& pids, int sig);
  // Takes over a newer definition. True when the running process no longer
  // matches it and has to be restarted.
  bool reconfigure(const Component& newDef);

  // Debug description line.
  void describe() const;
  // Appends the <comp .../> element; withFdPid adds fd and pid.
  void statusDump(bool withFdPid, std::string& out) const;
  // Hands text to the informer, logging when nobody takes it.
  void inform(const std::string& text);

 private:
  // The configured user and group as ids, 0 where none is configured;
  // throws std::runtime_error naming an unknown one.
  void resolveIdentity(uid_t& uid, gid_t& gid) const;
  enum class State { kStopped, kStarting, kRunning };

  // Guards against double starts and runs the process start; the name
  // stands for the guarded start (the unguarded one is startComp).
  void startGuarded(CompStrategy& strategy, const std::string& dir);
  void startComp(CompStrategy& strategy, const std::string& dir, bool withDiag);
  void checkExit();
  // Kills what is left of the process group of an ended process, then reaps
  // the process.
  ExitStatus reapGroup();
  // Sends SIGTERM and waits for the end, SIGKILL after the stop time-out.
  bool stopProcess();
  // Undoes a start that did not answer well.
  void abandonStart();
  // 1 at end of file, -1 on a read error, 0 when the pipe is empty or the
  // budget spent.
  int readOutput(int fd, LineSplitter& lines, Clock::MonoTime now);
  void logOutputLine(const std::string& line);
  // Debug line of prefix and the <comp .../> element with fd and pid; the
  // element is built only when debug records are written.
  void debugStatus(const std::string& prefix) const;
  // Logs what is left in the pipes, partial lines and the suppressed count,
  // then closes the pipes; readAnswerPipe when the answer pipe carries
  // output (it is not the check dialogue).
  void closeOutput(bool readAnswerPipe);

  std::string name_;
  std::string argv_;
  std::string user_;
  std::string group_;
  int timeStart_ = 30;
  int timeStop_ = 30;
  int logType_ = kLogTypeMail;
  std::string cmd_;
  std::unique_ptr<Informer> informer_;
  bool agent_ = false;

  State state_ = State::kStopped;
  ChildProcess proc_;
  pid_t pid_ = -1;
  pid_t signalledPid_ = -1;
  norvak::base::UniqueFd fd_;
  norvak::base::UniqueFd diagFd_;
  norvak::base::UniqueFd errFd_;
  Clock::MonoTime deadline_;
  // A failed start is not a new identity: these come back when it fails.
  pid_t prevPid_ = -1;
  pid_t prevSignalled_ = -1;
  time_t startTime_ = 0;
  int restarts_ = 0;
  time_t lastFaultTime_ = 0;
  std::string lastFaultCause_;
  std::string lastEnd_;  // how the last stopped process ended
  bool givenUp_ = false;
  // Output read in the current period.
  size_t outputRead_ = 0;
  Clock::MonoTime outputPeriodEnd_;
  // The time of the last read, for the reports made when the pipes close.
  Clock::MonoTime outputNow_;
  LineSplitter outLines_{kOutputLineLimit};
  LineSplitter errLines_{kOutputLineLimit};
  LineLimiter limiter_{kOutputBurst, std::chrono::seconds(1)};

  // The log's own limit: a longer line would be cut there anyway.
  static const size_t kOutputLineLimit = 1023;
  static const size_t kOutputBurst = 100;
};

#endif  // NORVAK_MONITOR_COMPONENT_H_
