#ifndef NORVAK_MONITOR_COMPONENT_H_
#define NORVAK_MONITOR_COMPONENT_H_

#include <sys/types.h>
#include <time.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame/clock.h"
#include "monitor/component_def.h"
#include "monitor/component_process.h"
#include "monitor/fault_cause.h"

class CompStrategy;
class HealthProbe;
class Informer;
class NotifyReceiver;
struct HealthResult;

// One supervised program: its definition (ComponentDef), its history, and
// the lifecycle of its process (ComponentProcess), which exists from the
// spawn until the end is reaped.
//
// A start has three steps so that the supervision loop never blocks on it:
// beginStart() spawns the process, the loop waits for the answer pipe (or the
// deadline) together with everything else, completeStart() reads the answer.
// A stop likewise: beginStop() sends SIGTERM to the process group and, under
// the loop, arms the kill deadline; finishStop() reaps once the process has
// ended. The blocking forms (startStandart, stop) run the same steps with the
// waits in between, for check runs and callers without a loop.
//
// Used only from the thread that drives the application store; no locks.
class Component {
 public:
  // The process ended by itself (normal exit) instead of answering.
  class StopedHimself : public std::runtime_error {
   public:
    StopedHimself() : std::runtime_error("component stoped himself") {}
  };
  // Under a loop: the answer was bad and the process is being stopped; how
  // the start ended is known once the stop is over (kStopped).
  class StartStopping : public std::exception {
   public:
    const char* what() const noexcept override { return "failed start stopping"; }
  };

  static const int kLogTypeLog = ComponentDef::kLogTypeLog;
  static const int kLogTypeMail = ComponentDef::kLogTypeMail;
  static const int kLogTypeCommand = ComponentDef::kLogTypeCommand;

  explicit Component(const std::string& name);
  explicit Component(const ComponentDef& def);
  // Copies the definition only: the copy has no process and no informer.
  // Stores copy definitions from freshly loaded stores this way.
  Component(const Component& other);
  Component(Component&& other) noexcept;
  Component& operator=(Component&& other) noexcept;
  Component& operator=(const Component&) = delete;
  ~Component();

  // Definition (filled by the meta-configuration reader).
  const ComponentDef& def() const { return def_; }
  ComponentDef& def() { return def_; }
  const std::string& name() const { return def_.name; }
  const std::string& argv() const { return def_.argv; }
  const std::string& user() const { return def_.user; }
  const std::string& group() const { return def_.group; }
  int timeStart() const { return def_.timeStart; }
  int timeStop() const { return def_.timeStop; }
  int logType() const { return def_.logType; }
  const std::string& cmd() const { return def_.cmd; }
  bool isAgent() const { return def_.agent; }
  void setArgv(const std::string& argv) { def_.argv = argv; }
  void setUser(const std::string& user) { def_.user = user; }
  void setGroup(const std::string& group) { def_.group = group; }
  void setTimeStart(int seconds) { def_.timeStart = seconds; }
  void setTimeStop(int seconds) { def_.timeStop = seconds; }
  void setLogType(int logType) { def_.logType = logType; }
  void setCmd(const std::string& cmd) { def_.cmd = cmd; }
  void setAgent(bool agent) { def_.agent = agent; }
  const HealthDef& health() const { return def_.health; }
  void setHealth(const HealthDef& health) { def_.health = health; }
  std::string permissions() const { return def_.permissions(); }
  std::string logTypeText() const { return def_.logTypeText(); }
  // Lookups of user and group; throw Utils::error when the name is unknown,
  // 0 for an empty name.
  uid_t uid() const;
  gid_t gid() const;
  std::vector<std::string> startProblems(const std::string& dir) const {
    return def_.startProblems(dir);
  }

  // Runtime state.
  // The process while it starts, runs or stops; null otherwise.
  ComponentProcess* process() const { return proc_.get(); }
  // The start pipe while the process starts or runs; -1 otherwise.
  int fd() const { return proc_ && state_ != State::kStopping ? proc_->fd() : -1; }
  // The current process, or the last one after it ended; -1 before any.
  pid_t pid() const { return pid_; }
  // Readable once the process has ended; -1 when not running or the kernel
  // has no pidfd.
  int pidfd() const { return running() ? proc_->pidfd() : -1; }
  // Answered and not stopped since.
  bool running() const { return state_ == State::kRunning; }
  // Spawned, its answer not read yet.
  bool starting() const { return state_ == State::kStarting; }
  // Told to stop, its end not reaped yet.
  bool stopping() const { return state_ == State::kStopping; }
  // The stop under way undoes a start that was answered badly, whose reason
  // is failedStartText().
  bool undoesStart() const { return stopping() && stopRestores_; }
  const std::string& failedStartText() const { return failedStart_; }
  // Why the last start failed, for the administrator: what the process
  // answered or how it ended. Empty before any start failed.
  const std::string& startFailure() const { return startFailure_; }
  Clock::MonoTime answerDeadline() const { return deadline_; }
  pid_t signalledPid() const { return signalledPid_; }
  // Read end of the standard-error pipe of a check-all start, or -1.
  int diagFd() const { return proc_ ? proc_->diagFd() : -1; }
  // Read end of the standard-error pipe of a start that is not check-all
  // (then standard error is the check dialogue), or -1. Closed when the
  // program closes its end; that alone is no death.
  int errorFd() const { return proc_ ? proc_->errorFd() : -1; }
  const Informer* informer() const { return informer_.get(); }
  // What its processes wrote last, across restarts.
  const OutputRing& output() const { return *output_; }
  OutputRing& output() { return *output_; }
  // Takes over the output of the component it replaces under the same name.
  void keepOutputOf(const Component& previous) { output_ = previous.output_; }
  // For the administrators' status: when the current process answered (0
  // before), restarts begun since the monitor started, the last unexpected
  // end and how it ended ("exit N" / "signal NAME"), and whether the
  // recovery gave up on it (cleared by the next successful start).
  time_t startTime() const { return startTime_; }
  int restarts() const { return restarts_; }
  time_t lastFaultTime() const { return lastFaultTime_; }
  const std::string& lastFaultCause() const { return lastFaultCause_; }
  bool givenUp() const { return givenUp_; }
  // The last process ended by exiting, unasked, with that status; an
  // administrator's stop or a signal is no such end. Kept until the next
  // stop.
  bool exitedByItself() const { return exitedByItself_; }
  int lastExitCode() const { return lastExitCode_; }
  void countRestart() { ++restarts_; }
  void setGivenUp() { givenUp_ = true; }
  // For the metrics: the faults counted so far by cause, and how long the
  // last start that answered well took from the spawn to the answer (zero
  // before any), which the loop notes when it has read the answer.
  uint64_t faults(FaultCause cause) const { return faults_[static_cast<size_t>(cause)]; }
  void countFault(FaultCause cause) { ++faults_[static_cast<size_t>(cause)]; }
  std::chrono::nanoseconds lastStartTook() const { return lastStartTook_; }
  void answeredAt(Clock::MonoTime now) { lastStartTook_ = now - spawnedAt_; }

  // Rebuilds the informer from logType and cmd; called before every start.
  void createInformer();

  // Puts the process under the loop: what it waits for is registered there
  // and reported to sink. Nothing without a process.
  void attach(boost::asio::io_context& loop, ComponentProcess::Sink sink);

  // The start with the one-byte answer, in steps. beginStart spawns the
  // process (std::logic_error for a double start, std::runtime_error when it
  // cannot be spawned); completeStart reads the answer once the pipe is
  // readable, or takes the silence as the answer once the deadline passed,
  // and throws std::runtime_error (with the reason) or StopedHimself unless
  // the component then runs. A failed start is stopped and reaped; under a
  // loop that is a stop in steps, and completeStart throws StartStopping.
  void beginStart(CompStrategy& strategy, const std::string& dir, Clock::MonoTime now);
  // Blocks until the answer pipe is readable (true) or the deadline passed;
  // clock is the one the deadline was set by.
  bool waitForAnswer(const Clock& clock = Clock::system()) const;
  void completeStart(bool timedOut);
  // All steps, blocking. faultTime > 0 marks a recovery start, which sends
  // the recovery report.
  void startStandart(CompStrategy& strategy, const std::string& dir, time_t faultTime,
                     const std::string& appName);
  // The recovery report of a restart that has answered.
  void reportRecovery(time_t now, time_t faultTime, const std::vector<time_t>& abortive,
                      const std::string& appName, const std::string& dir);
  // Check-all start: echoes the program's findings on standard error and sets
  // the check error flag unless it answers "Options OK". Leaves running set.
  void startCheckOnly(CompStrategy& strategy, const std::string& dir);

  // Stops a starting or running component, blocking until its process has
  // ended (one already stopping is waited for). Returns true when the
  // process ended by a normal exit.
  bool stop(bool fault);
  // The stop in steps: beginStop sends SIGTERM to the process group (false,
  // and nothing happens, when the component is neither starting nor
  // running); under a loop the kill deadline is armed and kStopped reported
  // at the end. finishStop reaps (waiting if need be) and answers as stop().
  bool beginStop(bool fault);
  bool finishStop();

  // The process has ended, seen without reaping it.
  bool processEnded() const;

  // Handles the end of the component's process. Returns true when the
  // process had stopped by itself (no report sent).
  bool fault(time_t faultTime, const std::string& appName, const std::string& dir,
             const std::vector<std::string>& affectedApps);
  void cannotRecover(time_t faultTime, const std::vector<time_t>& attempts,
                     const std::string& appName, const std::string& dir);

  void sendSignal(int sig);
  // Sends sig if pid is listed, removing it from the list.
  void signalIfListed(std::set<pid_t>& pids, int sig);
  // Takes over a newer definition. True when the running process no longer
  // matches it and has to be restarted.
  bool reconfigure(const Component& newDef);

  // ---- Health ----
  // A check or the watchdog failed (ComponentProcess::Event::kUnhealthy):
  // the process is stopped as a faulty one (SIGTERM, and SIGCONT so that a
  // stopped one takes it; SIGKILL at the stop time) and the end counts as a
  // death by a signal, reported with the failure as its cause.
  void failHealth();
  // The stop under way is the one failHealth began.
  bool healthStopping() const { return healthStop_ && stopping(); }
  // True once, after the stop that failHealth began has ended.
  bool takeHealthStop();
  // The checks' last results (kept after the process ends) and the last
  // STATUS= text of the notification socket.
  std::vector<HealthResult> healthResults() const;
  std::string notifyStatus() const;

  // Debug description line.
  void describe() const;
  // Appends the <comp .../> element; withFdPid adds fd and pid.
  void statusDump(bool withFdPid, std::string& out) const;
  // Hands text to the informer, logging when nobody takes it.
  void inform(const std::string& text);

 private:
  enum class State { kStopped, kStarting, kRunning, kStopping };

  // Guards against double starts and runs the process start; the name
  // stands for the guarded start (the unguarded one is startComp).
  void startGuarded(CompStrategy& strategy, const std::string& dir);
  void startComp(CompStrategy& strategy, const std::string& dir, bool withDiag);
  // The limits, environment and cgroup of the process to start; the cgroup
  // goes with the process.
  std::unique_ptr<CgroupTree::Lease> prepareProcess(SpawnPlan& plan) const;
  void checkExit();
  // Undoes a start that did not answer well.
  void abandonStart();
  // SIGTERM to the process group, the state kStopping, and under a loop the
  // kill deadline; restores: the stop undoes a failed start.
  void terminate(bool fault, bool restores);
  // Waits out the stop time, kills the group if need be, then finishStop().
  bool awaitStopped();
  // Debug line of prefix and the <comp .../> element with fd and pid; the
  // element is built only when debug records are written.
  void debugStatus(const std::string& prefix) const;
  // The checks of a process that has answered, under a loop.
  void startHealth();
  // Ends them, keeping their results; closeSocket also closes the
  // notification socket (the process has gone).
  void stopHealth(bool closeSocket);

  ComponentDef def_;
  std::unique_ptr<Informer> informer_;
  // Shared with the process that writes into it, which may outlive this
  // object for the moment its last handler runs.
  std::shared_ptr<OutputRing> output_ = std::make_shared<OutputRing>();

  State state_ = State::kStopped;
  std::shared_ptr<ComponentProcess> proc_;
  pid_t pid_ = -1;
  pid_t signalledPid_ = -1;
  Clock::MonoTime deadline_;
  Clock::MonoTime spawnedAt_;
  std::chrono::nanoseconds lastStartTook_{0};
  std::array<uint64_t, kFaultCauses> faults_{};
  // A failed start is not a new identity: these come back when it fails.
  pid_t prevPid_ = -1;
  pid_t prevSignalled_ = -1;
  // The stop in progress is a fault's, and undoes a start that failed.
  bool stopFault_ = false;
  bool stopRestores_ = false;
  std::string failedStart_;
  std::string startFailure_;
  time_t startTime_ = 0;
  int restarts_ = 0;
  time_t lastFaultTime_ = 0;
  std::string lastFaultCause_;
  std::string lastEnd_;  // how the last stopped process ended
  bool givenUp_ = false;
  bool exitedByItself_ = false;
  int lastExitCode_ = -1;

  // The loop the process is attached to, and where its events go.
  boost::asio::io_context* loop_ = nullptr;
  ComponentProcess::Sink sink_;
  std::shared_ptr<HealthProbe> probe_;
  std::shared_ptr<NotifyReceiver> notify_;
  bool checking_ = false;  // between startHealth and stopHealth
  std::vector<HealthResult> lastHealth_;
  std::string notifyStatus_;
  std::string healthCause_;  // of the stop in progress or the fault to report
  bool healthStop_ = false;
  FaultCause healthFault_ = FaultCause::kCheck;  // which of them failed
};

#endif  // NORVAK_MONITOR_COMPONENT_H_
