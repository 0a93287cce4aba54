#include "monitor/component.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>

#include "frame/io.h"
#include "frame/log.h"
#include "frame/run_mode.h"
#include "frame/spawn.h"
#include "frame/ticker.h"
#include "frame/utils.h"
#include "monitor/comp_strategy.h"
#include "notify/informer.h"
#include "notify/mail_text.h"

using norvak::base::UniqueFd;

namespace {

// Longest child message the answer reader takes after the answer byte.
const size_t kMaxChildMessage = 1024;

// Output after the answer read per period: enough for a program that talks a
// little, while a flood is held back in its pipe.
const size_t kOutputBudget = 256 * 1024;
const std::chrono::milliseconds kOutputPeriod(100);

std::string signalText(int sig) {
  const char* s = strsignal(sig);
  return std::to_string(sig) + " (" + (s ? s : "unknown signal") + ")";
}

// Reads what is already in the pipe after the answer byte, without waiting.
std::string drainAvailable(int fd) {
  std::string data;
  char buf[512];
  while (data.size() < kMaxChildMessage + 32) {
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || !(p.revents & POLLIN)) break;
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

void logChildError(const std::string& record) {
  size_t nl = record.rfind('\n');
  if (nl == std::string::npos || nl + 1 >= record.size()) return;
  int err = atoi(record.c_str() + nl + 1);
  logError(record.substr(0, nl) + ": " + strerror(err));
}

}  // namespace

Component::Component(const std::string& name) : name_(name) {}

Component::Component(const Component& other)
    : name_(other.name_),
      argv_(other.argv_),
      user_(other.user_),
      group_(other.group_),
      timeStart_(other.timeStart_),
      timeStop_(other.timeStop_),
      logType_(other.logType_),
      cmd_(other.cmd_),
      agent_(other.agent_) {}

// A fresh component is stopped, so the assignment takes everything over
// without stopping anything first.
Component::Component(Component&& other) noexcept { *this = std::move(other); }

Component& Component::operator=(Component&& other) noexcept {
  if (this == &other) return *this;
  if (state_ != State::kStopped) {
    try {
      stop(false);
    } catch (...) {
    }
  }
  name_ = std::move(other.name_);
  argv_ = std::move(other.argv_);
  user_ = std::move(other.user_);
  group_ = std::move(other.group_);
  timeStart_ = other.timeStart_;
  timeStop_ = other.timeStop_;
  logType_ = other.logType_;
  cmd_ = std::move(other.cmd_);
  informer_ = std::move(other.informer_);
  agent_ = other.agent_;
  state_ = std::exchange(other.state_, State::kStopped);
  proc_ = std::move(other.proc_);
  pid_ = std::exchange(other.pid_, -1);
  signalledPid_ = std::exchange(other.signalledPid_, -1);
  fd_ = std::move(other.fd_);
  diagFd_ = std::move(other.diagFd_);
  errFd_ = std::move(other.errFd_);
  deadline_ = other.deadline_;
  prevPid_ = other.prevPid_;
  prevSignalled_ = other.prevSignalled_;
  startTime_ = other.startTime_;
  restarts_ = other.restarts_;
  lastFaultTime_ = other.lastFaultTime_;
  lastFaultCause_ = std::move(other.lastFaultCause_);
  lastEnd_ = std::move(other.lastEnd_);
  givenUp_ = other.givenUp_;
  outputRead_ = other.outputRead_;
  outputPeriodEnd_ = other.outputPeriodEnd_;
  outputNow_ = other.outputNow_;
  outLines_ = std::move(other.outLines_);
  errLines_ = std::move(other.errLines_);
  limiter_ = other.limiter_;
  return *this;
}

Component::~Component() {
  // Normally every component is stopped before its store goes away; one
  // that is not (an exception path) must not leave its process behind.
  if (state_ != State::kStopped) {
    try {
      stop(false);
    } catch (...) {
    }
  }
}

std::string Component::logTypeText() const {
  switch (logType_) {
    case kLogTypeLog:
      return "LOG";
    case kLogTypeMail:
      return "MAIL";
    default:
      return "\"" + cmd_ + "\"";
  }
}

uid_t Component::uid() const { return user_.empty() ? 0 : Utils::getUid(user_); }

gid_t Component::gid() const { return group_.empty() ? 0 : Utils::getGid(group_); }

void Component::resolveIdentity(uid_t& uid, gid_t& gid) const {
  uid = 0;
  gid = 0;
  // An unknown name must fail the start: left at its default the identity
  // would be root's.
  if (!user_.empty()) {
    try {
      uid = Utils::getUid(user_);
    } catch (const std::exception& e) {
      throw std::runtime_error("unknown user \"" + user_ + "\": " + e.what());
    }
  }
  if (!group_.empty()) {
    try {
      gid = Utils::getGid(group_);
    } catch (const std::exception& e) {
      throw std::runtime_error("unknown group \"" + group_ + "\": " + e.what());
    }
  }
}

std::vector<std::string> Component::startProblems(const std::string& dir) const {
  uid_t uid = 0;
  gid_t gid = 0;
  try {
    resolveIdentity(uid, gid);
  } catch (const std::exception& e) {
    return {e.what()};
  }
  // As the spawn does it: 0 or our own id keeps ours; root switching keeps
  // no supplementary group, otherwise ours go along.
  const bool switches = (uid != 0 && uid != getuid()) || (gid != 0 && gid != getgid());
  if (uid == 0) uid = getuid();
  if (gid == 0) gid = getgid();
  std::vector<gid_t> groups{gid};
  if (!(switches && geteuid() == 0)) {
    const int n = getgroups(0, nullptr);
    if (n > 0) {
      std::vector<gid_t> more(static_cast<size_t>(n));
      const int got = getgroups(n, more.data());
      if (got > 0) groups.insert(groups.end(), more.begin(), more.begin() + got);
    }
  }
  const std::string path = dir + name_;
  std::string why = Utils::execProblem(path, uid, groups);
  if (why.empty()) return {};
  if (why == "not executable" && !user_.empty()) why += " for user \"" + user_ + "\"";
  return {"executable \"" + path + "\" " + why};
}

void Component::createInformer() {
  informer_.reset();
  informer_ = makeInformer(logType_, cmd_);
}

void Component::statusDump(bool withFdPid, std::string& out) const {
  out += "<comp name=\"" + name_ + "\"";
  if (!argv_.empty()) out += " argv=\"" + argv_ + "\"";
  char buf[64];
  snprintf(buf, sizeof(buf), " start=\"%d\" stop=\"%d\" log=\"%d\"", timeStart_, timeStop_,
           logType_);
  out += buf;
  out += " user=\"" + user_ + ":" + group_ + "\"";
  if (!cmd_.empty()) out += " cmd=\"" + cmd_ + "\"";
  if (withFdPid) {
    snprintf(buf, sizeof(buf), " fd=\"%d\" pid=\"%d\"", fd_.get(), static_cast<int>(pid_));
    out += buf;
  }
  out += "/>";
}

void Component::debugStatus(const std::string& prefix) const {
  if (!isDebugLog()) return;
  std::string status;
  statusDump(true, status);
  logDebug(prefix + status);
}

void Component::describe() const {
  const std::string s(12, ' ');
  logDebug("    " + name_ + s + "\"" + argv_ + "\"" + s + std::to_string(timeStart_) + s +
           std::to_string(timeStop_) + s + logTypeText() + s + permissions());
}

void Component::inform(const std::string& text) {
  if (!informer_ || !informer_->inform(text)) logError("cannot inform. Message=" + text);
}

void Component::startComp(CompStrategy& strategy, const std::string& dir, bool withDiag) {
  debugStatus("Component::startComp() # ");
  const std::string path = dir + name_;
  logDebug("start component \"" + name_ + "\" - \"" + path + "\"");

  // Close-on-exec: a component started meanwhile from another thread must
  // not inherit our write end (its end-of-file would never come).
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("create pipe error");
  UniqueFd answerRead(p[0]), answerWrite(p[1]);
  // The second pipe is the check dialogue in check-all mode, otherwise the
  // program's standard error, which gets logged.
  UniqueFd diagRead, diagWrite;
  if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("create pipe error");
  diagRead.reset(p[0]);
  diagWrite.reset(p[1]);
  // Only our end: the program's writes must keep blocking on a full pipe.
  if (!withDiag) fcntl(diagRead.get(), F_SETFL, fcntl(diagRead.get(), F_GETFL) | O_NONBLOCK);

  // The child answers on its standard output; a step that fails before the
  // exec writes its record there too.
  SpawnPlan plan;
  resolveIdentity(plan.uid, plan.gid);
  plan.path = path;
  Utils::splitArgs(path, argv_, plan.argv);
  strategy.addArgs(plan.argv);
  plan.stdoutFd = answerWrite.get();
  plan.stderrFd = diagWrite.get();
  plan.reportFd = answerWrite.get();
  plan.newSession = true;
  plan.unblockSignals = {SIGHUP, SIGTERM, SIGINT, SIGPIPE, SIGCHLD, SIGTTOU, SIGTTIN};
  plan.group.message = "cannot set \"" + group_ + "\" group";
  plan.user.message = "cannot set \"" + user_ + "\"user";
  plan.exec.message = "exec( " + path + " ) error";
  // The other steps keep the plan's texts and statuses, which are ours.

  proc_ = spawn(plan);
  pid_ = proc_.pid();
  fd_ = std::move(answerRead);
  if (withDiag) {
    diagFd_ = std::move(diagRead);
  } else {
    errFd_ = std::move(diagRead);
    errLines_ = LineSplitter(kOutputLineLimit);
  }
  outLines_ = LineSplitter(kOutputLineLimit);
}

void Component::startGuarded(CompStrategy& strategy, const std::string& dir) {
  debugStatus("Component::__start() # ");
  if (state_ != State::kStopped) throw std::logic_error("component \"" + name_ + "\" has started");
  prevPid_ = pid_;
  prevSignalled_ = signalledPid_;
  startComp(strategy, dir, isCheckAll());
  state_ = State::kStarting;
}

void Component::beginStart(CompStrategy& strategy, const std::string& dir, Clock::MonoTime now) {
  logDebug("Component::startStandart() " + name_);
  startGuarded(strategy, dir);
  deadline_ = now + std::chrono::seconds(std::max(timeStart_, 0));
}

bool Component::waitForAnswer(const Clock& clock) const {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - clock.monoNow());
    struct pollfd p = {fd_.get(), POLLIN, 0};
    // Round up: a sub-millisecond rest must still wait, not spin.
    int ms = left.count() <= 0 ? 0
                               : static_cast<int>(std::min<int64_t>(left.count() + 1, INT32_MAX));
    int r = poll(&p, 1, ms);
    if (r < 0 && errno == EINTR) continue;
    return r != 0;  // an error reads as a broken answer
  }
}

ExitStatus Component::reapGroup() {
  // Whatever is left of the group after its leader's end is killed while
  // the unreaped leader still holds the group's number.
  proc_.signalGroup(SIGKILL);
  return proc_.wait();
}

void Component::checkExit() {
  if (!proc_.ended()) return;
  const ExitStatus status = reapGroup();
  if (!status.exited && status.signal <= 0) return;
  const std::string message = status.signal > 0
                                  ? "signal " + signalText(status.signal) + " was catching"
                                  : std::string("stoped untimely");
  abandonStart();
  throw std::runtime_error(message);
}

void Component::abandonStart() {
  closeOutput(false);
  state_ = State::kStopped;
  // The killing of a process that never answered is no crash to recover
  // from, and the recovery schedule keeps the identity of the death before.
  pid_ = prevPid_;
  signalledPid_ = prevSignalled_;
}

void Component::completeStart(bool timedOut) {
  if (state_ != State::kStarting) throw std::logic_error("component \"" + name_ + "\" is not starting");
  const int fd = fd_.get();
  char answer = 'N';  // nothing within TimeStart
  std::string childError;
  if (!timedOut) {
    // One byte only: what follows a good answer is the program's output.
    char buf[1];
    ssize_t n;
    do {
      n = read(fd, buf, sizeof(buf));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      answer = '?';
    } else {
      answer = buf[0];
      if (answer == 'E') {
        const std::string rest = drainAvailable(fd);
        if (!rest.empty() && rest[0] == '\0') childError = rest.substr(1);
      }
    }
  }
  if (!childError.empty()) logChildError(childError);

  checkExit();

  std::string text = "component \"" + name_ + "\"";
  if (answer == ' ') {
    state_ = State::kRunning;
    startTime_ = time(nullptr);
    givenUp_ = false;
    // From here on the pipe is only watched; reads must never block.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    outputRead_ = 0;
    outputPeriodEnd_ = Clock::MonoTime();
    debugStatus(text + " started ");
    return;
  }

  switch (answer) {
    case 'E':
      text += " starting error";
      break;
    case 'N':
      text += " not answer";
      break;
    case '\n':
      text += " stoped";
      break;
    default:
      text += " wrong answer";
      break;
  }
  logDebug(text);
  closeOutput(false);
  state_ = State::kStopped;
  const bool exited = stopProcess();
  pid_ = prevPid_;
  signalledPid_ = prevSignalled_;
  if (exited) throw StopedHimself();
  throw std::runtime_error(text);
}

void Component::startStandart(CompStrategy& strategy, const std::string& dir, time_t faultTime,
                              int tryNo, const std::string& appName) {
  beginStart(strategy, dir, Clock::system().monoNow());
  completeStart(!waitForAnswer());
  if (faultTime > 0) reportRecovery(time(nullptr), faultTime, tryNo, appName, dir);
}

void Component::reportRecovery(time_t now, time_t faultTime, int tryNo,
                               const std::string& appName, const std::string& dir) {
  logDebug("component \"" + name_ + "\" recovery");
  inform(composeRecoveryMail(pid_, name_, now, faultTime, tryNo, appName, dir));
}

void Component::startCheckOnly(CompStrategy& strategy, const std::string& dir) {
  logDebug("Component::startCheckOnly() " + name_);
  startGuarded(strategy, dir);
  // Checked or not, it counts as running until stopped, so that its stop
  // closes the pipe and ends the process.
  state_ = State::kRunning;

  std::ostream& err = std::cerr;
  int64_t budget = static_cast<int64_t>(std::max(timeStart_, 0)) * 1000000;
  bool echoed = false;
  auto echo = [&](std::string& line) {
    if (line.empty()) return;
    if (!echoed) err << "\n";
    echoed = true;
    err << "    " << line << "\n";
    line.clear();
  };
  try {
    err << "checking \"" << name_ << "\" component: " << std::flush;
    std::string line;
    {
      Ticker ticker(err);
      IO::readLine(fd_.get(), budget, line);
    }
    if (line == "Options OK") {
      err << "OK" << std::endl;
      return;
    }
    setCheckError();
    for (;;) {
      echo(line);
      bool more;
      {
        Ticker ticker(err);
        more = IO::readLine(fd_.get(), budget, line);
      }
      if (!more) break;
    }
    echo(line);
    err << std::flush;
    if (!echoed) checkExit();
  } catch (const IO::TimeoutException&) {
    setCheckError();
    err << "timeout (" << timeStart_ << " sec) expired" << std::endl;
  } catch (const IO::Error& e) {
    setCheckError();
    err << " executing error: " << e.what() << std::endl;
  } catch (const std::exception& e) {
    setCheckError();
    err << e.what() << std::endl;
  }
}

bool Component::stop(bool fault) {
  debugStatus("Component::stop() # " + name_ + " ");
  if (fault) logDebug("component \"" + name_ + "\" fault");
  if (state_ == State::kStopped) {
    logDebug("cannot stop component \"" + name_ + "\": is not running");
    return false;
  }
  closeOutput(state_ == State::kRunning && !isCheckMode());
  state_ = State::kStopped;
  const bool exited = stopProcess();
  if (fault) {
    lastFaultTime_ = time(nullptr);
    lastFaultCause_ = lastEnd_;
  }
  return exited;
}

bool Component::stopProcess() {
  debugStatus("Component::stopPid() # " + name_ + " ");
  if (!proc_) {
    logDebug("component \"" + name_ + "\" has been stopped");
    return false;
  }
  logDebug("kill -TERM pid=" + std::to_string(proc_.pid()) + " name=\"" + name_ + "\"");
  const pid_t pid = proc_.pid();
  // The whole group: what the program started goes with it.
  proc_.signalGroup(SIGTERM);
  if (!proc_.awaitEnd(timeStop_)) proc_.signalGroup(SIGKILL);
  ExitStatus status = reapGroup();
  lastEnd_ = status.signal > 0 ? "signal " + signalText(status.signal)
                               : "exit " + std::to_string(status.code);
  if (!isCheckAll() && status.signal > 0) {
    signalledPid_ = pid;
    // The signal asked for is no fault; only the kill after the stop time is.
    const std::string text =
        "component \"" + name_ + "\" terminated by signal " + signalText(status.signal);
    if (status.signal == SIGTERM) {
      logInfo(text);
    } else {
      logError(text);
    }
  }
  return status.exited;
}

bool Component::drainOutput(Clock::MonoTime now) {
  if (!fd_) return false;
  return readOutput(fd_.get(), outLines_, now) > 0;
}

void Component::drainError(Clock::MonoTime now) {
  if (!errFd_) return;
  // A read error would only repeat on every turn: it ends the pipe too.
  if (readOutput(errFd_.get(), errLines_, now) != 0) errFd_.reset();
}

int Component::readOutput(int fd, LineSplitter& lines, Clock::MonoTime now) {
  if (now >= outputPeriodEnd_) {
    outputRead_ = 0;
    outputPeriodEnd_ = now + kOutputPeriod;
  }
  outputNow_ = now;
  reportSuppressed(now);
  auto emit = [this](const std::string& line) { logOutputLine(line); };
  char buf[16384];
  while (outputRead_ < kOutputBudget) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      lines.finish(emit);
      return 1;
    }
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      logDebug("error reading output of component \"" + name_ + "\": " + strerror(errno));
      return -1;
    }
    outputRead_ += static_cast<size_t>(n);
    lines.feed(buf, static_cast<size_t>(n), emit);
  }
  return 0;
}

void Component::logOutputLine(const std::string& line) {
  if (limiter_.admit()) logInfo("component \"" + name_ + "\": " + line);
}

void Component::reportSuppressed(Clock::MonoTime now) {
  const size_t n = limiter_.roll(now);
  if (n > 0) logInfo("component \"" + name_ + "\": " + std::to_string(n) + " lines suppressed");
}

void Component::closeOutput(bool readAnswerPipe) {
  auto emit = [this](const std::string& line) { logOutputLine(line); };
  // What a program wrote just before its end is often the reason for it;
  // bounded, as a holder of the pipe may go on writing.
  auto rest = [&](int fd, LineSplitter& lines) {
    char buf[16384];
    size_t got = 0;
    while (fd >= 0 && got < kOutputBudget) {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 0) != 1 || !(p.revents & POLLIN)) break;
      ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
      lines.feed(buf, static_cast<size_t>(n), emit);
    }
    lines.finish(emit);
  };
  if (readAnswerPipe) rest(fd_.get(), outLines_);
  rest(errFd_.get(), errLines_);
  const size_t n = limiter_.take();
  if (n > 0) logInfo("component \"" + name_ + "\": " + std::to_string(n) + " lines suppressed");
  fd_.reset();
  diagFd_.reset();
  errFd_.reset();
}

bool Component::outputPaused(Clock::MonoTime now, Clock::MonoTime& resumeAt) const {
  if (outputRead_ < kOutputBudget || now >= outputPeriodEnd_) return false;
  resumeAt = outputPeriodEnd_;
  return true;
}

bool Component::processEnded() const { return running() && proc_.ended(); }

bool Component::fault(time_t faultTime, const std::string& appName, const std::string& dir,
                      const std::vector<std::string>& affectedApps) {
  logDebug("Component::fault( .. ) # " + name_);
  const pid_t pid = pid_;
  logInfo("component \"" + name_ + "\" fault, pid=" + std::to_string(pid));
  if (stop(true)) {
    logDebug("component \"" + name_ + "\" stopped himself, do not sending report");
    return true;
  }
  logDebug("component \"" + name_ + "\" cannot stop");
  inform(composeFailureMail(pid, name_, faultTime, appName, dir, affectedApps));
  return false;
}

void Component::cannotRecover(time_t faultTime, const std::string& appName,
                              const std::string& dir) {
  const std::string mail = composeCannotRecoverMail(pid_, name_, faultTime, appName, dir);
  logInfo("cannot recovery component " + name_);
  inform(mail);
}

void Component::sendSignal(int sig) {
  logDebug("Component::sendSignal() # " + name_);
  if (!running()) return;
  if (pid_ < 1) {
    logError("error pid # component name=" + name_);
    return;
  }
  kill(pid_, sig);
  char buf[64];
  snprintf(buf, sizeof(buf), "send signal (num=%d) to \"", sig);
  logDebug(buf + name_ + "\" pid=" + std::to_string(pid_));
}

void Component::signalIfListed(std::set<pid_t>& pids, int sig) {
  auto it = pids.find(pid_);
  if (it == pids.end()) return;
  pids.erase(it);
  sendSignal(sig);
}

bool Component::reconfigure(const Component& newDef) {
  timeStart_ = newDef.timeStart_;
  timeStop_ = newDef.timeStop_;
  if (logType_ != newDef.logType_ || cmd_ != newDef.cmd_) {
    logType_ = newDef.logType_;
    cmd_ = newDef.cmd_;
    logInfo("component \"" + name_ + "\" changed logType");
    createInformer();
  }
  if (argv_ != newDef.argv_) {
    logInfo("component \"" + name_ + "\" changed argv \"" + argv_ + "\" to \"" + newDef.argv_ +
            "\"");
    argv_ = newDef.argv_;
    return true;
  }
  const std::string oldPerm = permissions();
  const std::string newPerm = newDef.permissions();
  if (oldPerm != newPerm) {
    logInfo("component \"" + name_ + "\" changed parmissions \"" + oldPerm + "\" to \"" + newPerm +
            "\"");
    user_ = newDef.user_;
    group_ = newDef.group_;
    return true;
  }
  return false;
}
