#ifndef NORVAK_MONITOR_COMPONENT_PROCESS_H_
#define NORVAK_MONITOR_COMPONENT_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "frame/child_process.h"
#include "frame/clock.h"
#include "ipc/nk_unique_fd.h"
#include "monitor/cgroup_tree.h"
#include "monitor/output_lines.h"
#include "monitor/output_ring.h"

namespace boost {
namespace asio {
class io_context;
}  // namespace asio
}  // namespace boost

struct SpawnPlan;

// One process of a component, from its spawn to its reaping: the child, the
// read ends of its pipes, what it writes, and, when the component lives
// under the supervision loop, everything the loop watches for it. Dropping
// it drops its registrations and kills and reaps what is left of its process
// group, so no path leaves a process or a descriptor behind.
//
// The process keeps the write end of the start pipe as its standard output:
// the answer comes through the read end (fd), then the program's output,
// and end of file on it tells that the process has gone. So does the
// pidfd, which also tells of a death while a descendant still holds the
// pipe.
//
// Under a loop, attach() registers the pipes, the pidfd and the timers once;
// each phase then arms what it needs: the answer and its deadline while
// starting, output and end while running, end and kill deadline while
// stopping. Handlers hold the process weakly: one that fires after the
// process was dropped does nothing.
//
// Used only from the thread that drives the supervision; no locks.
class ComponentProcess : public std::enable_shared_from_this<ComponentProcess> {
 public:
  enum class Event {
    kAnswered,        // the answer pipe is readable
    kAnswerTimedOut,  // nothing within the start time
    kEnded,           // the running process has ended
    kStopped,         // the stopping process has ended
    kUnhealthy,       // a health check or the watchdog of the running process failed
  };
  typedef std::function<void(Event)> Sink;

  // Spawns the plan; the process answers and writes on out and, unless
  // withDiag, logs its standard error through err. name labels its output
  // lines; ring, when given, keeps them too, every one, also those the log
  // leaves out.
  static std::shared_ptr<ComponentProcess> spawn(const std::string& name, SpawnPlan& plan,
                                                 bool withDiag,
                                                 std::shared_ptr<OutputRing> ring = nullptr);
  ~ComponentProcess();
  ComponentProcess(const ComponentProcess&) = delete;
  ComponentProcess& operator=(const ComponentProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Readable once the process has ended; -1 when the kernel has no pidfd.
  int pidfd() const { return child_.pidfd(); }
  // The start pipe; -1 once closed.
  int fd() const { return out_.get(); }
  // Standard error of a start that is not check-all, -1 once it ended.
  int errorFd() const { return err_.get(); }
  // Standard error of a check-all start (the check dialogue), or -1.
  int diagFd() const { return diag_.get(); }

  // ---- The loop ----
  void attach(boost::asio::io_context& loop, Sink sink);
  bool attached() const { return watch_ != nullptr; }
  // Arms the answer wait and its deadline.
  void watchAnswer(std::chrono::milliseconds within);
  // Arms the output pipes and the end of the process.
  void watchRun();
  // Arms the end of the process and, after `killAfter`, SIGKILL to the
  // group; kStopped once the process has ended.
  void watchStop(std::chrono::milliseconds killAfter);

  // ---- Output ----
  // From here on reads must never block.
  void beginOutput();
  // Logs what the program writes, a burst of lines per second at most; the
  // rest is counted and the count logged once a second. Both pipes share a
  // read budget per period: past it, outputPaused() tells to leave them alone
  // for the rest of the period, so a program that writes without pause waits
  // on its full pipe instead of the monitor spinning. drainOutput returns
  // true at end of file of standard output (the process has gone);
  // drainError closes the standard-error pipe at its end.
  bool drainOutput(Clock::MonoTime now);
  void drainError(Clock::MonoTime now);
  bool outputPaused(Clock::MonoTime now, Clock::MonoTime& resumeAt) const;
  bool outputReportDue(Clock::MonoTime& at) const { return limiter_.reportDue(at); }
  void reportSuppressed(Clock::MonoTime now);
  // Logs what is left in the pipes, partial lines and the suppressed count,
  // then closes them; readAnswerPipe when the answer pipe carries output.
  void closeOutput(bool readAnswerPipe);

  // ---- The end ----
  bool ended() const { return child_.ended(); }
  bool awaitEnd(int seconds) const { return child_.awaitEnd(seconds); }
  void signalGroup(int sig) const { child_.signalGroup(sig); }
  void signal(int sig) const { child_.kill(sig); }
  // Kills what is left of the group, then reaps the process (blocking if
  // it has not ended).
  ExitStatus reap();

  // The cgroup the process was placed in; it goes once the process has
  // been reaped.
  void keepCgroup(std::unique_ptr<CgroupTree::Lease> lease) { cgroup_ = std::move(lease); }

 private:
  struct Watch;
  enum Pipe { kOut, kErr };

  ComponentProcess(const std::string& name, ChildProcess child);
  // 1 at end of file, -1 on a read error, 0 when the pipe is empty or the
  // budget spent.
  int readOutput(int fd, LineSplitter& lines, Clock::MonoTime now);
  void logOutputLine(OutputRing::Stream stream, const std::string& line);
  void closeError();
  void awaitReadable(Pipe pipe);
  void onReadable(Pipe pipe);
  void awaitEnd();
  void armReport();
  void armBudget(Clock::MonoTime resume);

  std::string name_;
  ChildProcess child_;
  pid_t pid_;
  norvak::base::UniqueFd out_;
  norvak::base::UniqueFd err_;
  norvak::base::UniqueFd diag_;
  bool running_ = false;  // past the answer: the start pipe carries output

  size_t outputRead_ = 0;
  Clock::MonoTime outputPeriodEnd_;
  LineSplitter outLines_{kOutputLineLimit};
  LineSplitter errLines_{kOutputLineLimit};
  LineLimiter limiter_{kOutputBurst, std::chrono::seconds(1)};
  std::shared_ptr<OutputRing> ring_;
  time_t lineTime_ = 0;  // of the lines being read
  size_t ringSkip_ = 0;  // lines of the chunk being split that go to the log only

  std::unique_ptr<Watch> watch_;
  std::unique_ptr<CgroupTree::Lease> cgroup_;

  // The log's own limit: a longer line would be cut there anyway.
  static const size_t kOutputLineLimit = 1023;
  static const size_t kOutputBurst = 100;
};

#endif  // NORVAK_MONITOR_COMPONENT_PROCESS_H_
