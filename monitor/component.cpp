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
#include "monitor/cgroup_tree.h"
#include "monitor/comp_strategy.h"
#include "monitor/component_environment.h"
#include "monitor/health_probe.h"
#include "monitor/notify_receiver.h"
#include "notify/informer.h"
#include "notify/mail_text.h"

namespace {

// Longest child message the answer reader takes after the answer byte.
const size_t kMaxChildMessage = 1024;

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

// Logs the child's report of the step that failed; answers its text.
std::string logChildError(const std::string& record) {
  size_t nl = record.rfind('\n');
  if (nl == std::string::npos || nl + 1 >= record.size()) return std::string();
  int err = atoi(record.c_str() + nl + 1);
  const std::string text = record.substr(0, nl) + ": " + strerror(err);
  logError(text);
  return text;
}

}  // namespace

Component::Component(const std::string& name) { def_.name = name; }
Component::Component(const ComponentDef& def) : def_(def) {}
Component::Component(const Component& other) : def_(other.def_) {}

// Normally every component is stopped before its store goes away; the
// process of one that is not (an exception path) is killed with its group
// when it goes.
Component::~Component() = default;
Component::Component(Component&& other) noexcept = default;
Component& Component::operator=(Component&& other) noexcept = default;

uid_t Component::uid() const { return def_.user.empty() ? 0 : Utils::getUid(def_.user); }

gid_t Component::gid() const { return def_.group.empty() ? 0 : Utils::getGid(def_.group); }

void Component::createInformer() {
  informer_.reset();
  informer_ = makeInformer(def_.logType, def_.cmd);
}

void Component::statusDump(bool withFdPid, std::string& out) const {
  out += "<comp name=\"" + def_.name + "\"";
  if (!def_.argv.empty()) out += " argv=\"" + def_.argv + "\"";
  char buf[64];
  snprintf(buf, sizeof(buf), " start=\"%d\" stop=\"%d\" log=\"%d\"", def_.timeStart,
           def_.timeStop, def_.logType);
  out += buf;
  out += " user=\"" + def_.user + ":" + def_.group + "\"";
  if (!def_.cmd.empty()) out += " cmd=\"" + def_.cmd + "\"";
  if (withFdPid) {
    snprintf(buf, sizeof(buf), " fd=\"%d\" pid=\"%d\"", fd(), static_cast<int>(pid_));
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
  logDebug("    " + def_.name + s + "\"" + def_.argv + "\"" + s + std::to_string(def_.timeStart) +
           s + std::to_string(def_.timeStop) + s + logTypeText() + s + permissions());
}

void Component::inform(const std::string& text) {
  if (!informer_ || !informer_->inform(text)) logError("cannot inform. Message=" + text);
}

void Component::attach(boost::asio::io_context& loop, ComponentProcess::Sink sink) {
  if (!proc_ || proc_->attached()) return;
  loop_ = &loop;
  sink_ = sink;
  proc_->attach(loop, std::move(sink));
  switch (state_) {
    case State::kStarting: {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline_ - Clock::system().monoNow());
      proc_->watchAnswer(std::max(left, std::chrono::milliseconds(0)));
      break;
    }
    case State::kRunning:
      proc_->watchRun();
      break;
    case State::kStopping:
      proc_->watchStop(std::chrono::seconds(std::max(def_.timeStop, 0)));
      break;
    case State::kStopped:
      break;
  }
}

void Component::startComp(CompStrategy& strategy, const std::string& dir, bool withDiag) {
  debugStatus("Component::startComp() # ");
  const std::string path = dir + def_.name;
  logDebug("start component \"" + def_.name + "\" - \"" + path + "\"");
  SpawnPlan plan;
  def_.resolveIdentity(plan.uid, plan.gid);
  plan.path = path;
  Utils::splitArgs(path, def_.argv, plan.argv);
  strategy.addArgs(plan.argv);
  plan.newSession = true;
  plan.unblockSignals = {SIGHUP, SIGTERM, SIGINT, SIGPIPE, SIGCHLD, SIGTTOU, SIGTTIN};
  plan.group.message = "cannot set \"" + def_.group + "\" group";
  plan.user.message = "cannot set \"" + def_.user + "\"user";
  plan.exec.message = "exec( " + path + " ) error";
  notify_.reset();
  if (def_.health.watchdog > 0 && !isCheckMode()) {
    try {
      notify_ = NotifyReceiver::open(def_.name);
      plan.extraEnvironment = {
          "NOTIFY_SOCKET=" + notify_->address(),
          "WATCHDOG_USEC=" + std::to_string(int64_t(def_.health.watchdog) * 1000000)};
    } catch (const std::exception& e) {
      logError("component \"" + def_.name + "\" starts without its watchdog: " + e.what());
    }
  }
  // The other steps keep the plan's texts and statuses, which are ours.
  std::unique_ptr<CgroupTree::Lease> cgroup = prepareProcess(plan);
  proc_ = ComponentProcess::spawn(def_.name, plan, withDiag, output_);
  proc_->keepCgroup(std::move(cgroup));
  pid_ = proc_->pid();
}

std::unique_ptr<CgroupTree::Lease> Component::prepareProcess(SpawnPlan& plan) const {
  for (const ResourceLimit& limit : def_.limits) {
    plan.limits.push_back(
        {limit.resource, limit.soft, limit.hard, "cannot set limit " + limit.text()});
  }
  ComponentEnvironment::apply(def_, plan);
  std::unique_ptr<CgroupTree::Lease> cgroup;
  // Without a tree the ceiling is not kept; the start or reload that found
  // none has said why.
  std::shared_ptr<CgroupTree> tree = def_.memoryMax > 0 ? CgroupTree::shared() : nullptr;
  if (tree) {
    cgroup = tree->place(def_.name, def_.memoryMax);
    plan.cgroupProcsFd = cgroup->procsFd();
  }
  return cgroup;
}

void Component::startGuarded(CompStrategy& strategy, const std::string& dir) {
  debugStatus("Component::__start() # ");
  if (state_ != State::kStopped)
    throw std::logic_error("component \"" + def_.name + "\" has started");
  prevPid_ = pid_;
  prevSignalled_ = signalledPid_;
  startFailure_.clear();
  healthStop_ = false;
  healthCause_.clear();
  startComp(strategy, dir, isCheckAll());
  state_ = State::kStarting;
}

void Component::beginStart(CompStrategy& strategy, const std::string& dir, Clock::MonoTime now) {
  logDebug("Component::startStandart() " + def_.name);
  startGuarded(strategy, dir);
  spawnedAt_ = now;
  deadline_ = now + std::chrono::seconds(std::max(def_.timeStart, 0));
}

bool Component::waitForAnswer(const Clock& clock) const {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - clock.monoNow());
    struct pollfd p = {fd(), POLLIN, 0};
    // Round up: a sub-millisecond rest must still wait, not spin.
    int ms = left.count() <= 0 ? 0
                               : static_cast<int>(std::min<int64_t>(left.count() + 1, INT32_MAX));
    int r = poll(&p, 1, ms);
    if (r < 0 && errno == EINTR) continue;
    return r != 0;  // an error reads as a broken answer
  }
}

void Component::checkExit() {
  if (!proc_->ended()) return;
  const ExitStatus status = proc_->reap();
  if (!status.exited && status.signal <= 0) return;
  const std::string message = status.signal > 0
                                  ? "signal " + signalText(status.signal) + " was catching"
                                  : std::string("stoped untimely");
  startFailure_ = "component \"" + def_.name + "\" " +
                  (status.signal > 0 ? "was killed by signal " + signalText(status.signal)
                                     : "exited with status " + std::to_string(status.code));
  abandonStart();
  throw std::runtime_error(message);
}

void Component::abandonStart() {
  stopHealth(true);
  proc_->closeOutput(false);
  proc_.reset();
  state_ = State::kStopped;
  // The killing of a process that never answered is no crash to recover
  // from, and the recovery schedule keeps the identity of the death before.
  pid_ = prevPid_;
  signalledPid_ = prevSignalled_;
}

void Component::completeStart(bool timedOut) {
  if (state_ != State::kStarting)
    throw std::logic_error("component \"" + def_.name + "\" is not starting");
  const int fd = proc_->fd();
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
  std::string childFailure;
  if (!childError.empty()) childFailure = logChildError(childError);

  checkExit();

  std::string text = "component \"" + def_.name + "\"";
  if (answer == ' ') {
    state_ = State::kRunning;
    startTime_ = time(nullptr);
    givenUp_ = false;
    proc_->beginOutput();
    proc_->watchRun();
    startHealth();
    debugStatus(text + " started ");
    return;
  }

  const std::string who = text;
  switch (answer) {
    case 'E':
      text += " starting error";
      startFailure_ = childFailure.empty() ? who + " reported an error at its start"
                                           : who + " could not be started: " + childFailure;
      break;
    case 'N':
      text += " not answer";
      startFailure_ = who + " gave no answer within " + std::to_string(def_.timeStart) + " s";
      break;
    case '\n':
      text += " stoped";
      startFailure_ = who + " answered that it stopped";
      break;
    case '?':
      text += " wrong answer";
      startFailure_ = who + " closed its answer pipe without answering";
      break;
    default:
      text += " wrong answer";
      startFailure_ = who + " gave a wrong answer";
      break;
  }
  logDebug(text);
  proc_->closeOutput(false);
  terminate(false, true);
  failedStart_ = text;
  if (proc_->attached()) throw StartStopping();
  if (awaitStopped()) throw StopedHimself();
  throw std::runtime_error(text);
}

void Component::startStandart(CompStrategy& strategy, const std::string& dir, time_t faultTime,
                              const std::string& appName) {
  beginStart(strategy, dir, Clock::system().monoNow());
  completeStart(!waitForAnswer());
  // Without the loop there is no record of earlier tries to name.
  if (faultTime > 0) reportRecovery(time(nullptr), faultTime, {}, appName, dir);
}

void Component::reportRecovery(time_t now, time_t faultTime, const std::vector<time_t>& abortive,
                               const std::string& appName, const std::string& dir) {
  logDebug("component \"" + def_.name + "\" recovery");
  inform(composeRecoveryMail(pid_, def_.name, now, faultTime, abortive, appName, dir));
}

void Component::startCheckOnly(CompStrategy& strategy, const std::string& dir) {
  logDebug("Component::startCheckOnly() " + def_.name);
  startGuarded(strategy, dir);
  // Checked or not, it counts as running until stopped, so that its stop
  // closes the pipe and ends the process.
  state_ = State::kRunning;

  std::ostream& err = std::cerr;
  int64_t budget = static_cast<int64_t>(std::max(def_.timeStart, 0)) * 1000000;
  bool echoed = false;
  auto echo = [&](std::string& line) {
    if (line.empty()) return;
    if (!echoed) err << "\n";
    echoed = true;
    err << "    " << line << "\n";
    line.clear();
  };
  try {
    err << "checking \"" << def_.name << "\" component: " << std::flush;
    std::string line;
    {
      Ticker ticker(err);
      IO::readLine(proc_->fd(), budget, line);
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
        more = IO::readLine(proc_->fd(), budget, line);
      }
      if (!more) break;
    }
    echo(line);
    err << std::flush;
    if (!echoed) checkExit();
  } catch (const IO::TimeoutException&) {
    setCheckError();
    err << "timeout (" << def_.timeStart << " sec) expired" << std::endl;
  } catch (const IO::Error& e) {
    setCheckError();
    err << " executing error: " << e.what() << std::endl;
  } catch (const std::exception& e) {
    setCheckError();
    err << e.what() << std::endl;
  }
}

bool Component::stop(bool fault) {
  if (state_ == State::kStopping) return awaitStopped();
  return beginStop(fault) && awaitStopped();
}

bool Component::awaitStopped() {
  if (!proc_->awaitEnd(def_.timeStop)) proc_->signalGroup(SIGKILL);
  return finishStop();
}

bool Component::beginStop(bool fault) {
  debugStatus("Component::stop() # " + def_.name + " ");
  if (fault) logDebug("component \"" + def_.name + "\" fault");
  if (state_ == State::kStopping) return false;
  if (state_ == State::kStopped) {
    logDebug("cannot stop component \"" + def_.name + "\": is not running");
    return false;
  }
  proc_->closeOutput(state_ == State::kRunning && !isCheckMode());
  terminate(fault, false);
  return true;
}

void Component::terminate(bool fault, bool restores) {
  stopHealth(false);
  state_ = State::kStopping;
  stopFault_ = fault;
  stopRestores_ = restores;
  debugStatus("Component::stopPid() # " + def_.name + " ");
  logDebug("kill -TERM pid=" + std::to_string(proc_->pid()) + " name=\"" + def_.name + "\"");
  // The whole group: what the program started goes with it.
  proc_->signalGroup(SIGTERM);
  proc_->watchStop(std::chrono::seconds(std::max(def_.timeStop, 0)));
}

bool Component::finishStop() {
  if (state_ != State::kStopping) return false;
  const pid_t pid = proc_->pid();
  const ExitStatus status = proc_->reap();
  proc_.reset();
  stopHealth(true);
  state_ = State::kStopped;
  lastEnd_ = status.signal > 0 ? "signal " + signalText(status.signal)
                               : "exit " + std::to_string(status.code);
  if (!isCheckAll() && status.signal > 0) {
    signalledPid_ = pid;
    // The signal asked for is no fault; only the kill after the stop time is.
    const std::string text =
        "component \"" + def_.name + "\" terminated by signal " + signalText(status.signal);
    if (status.signal == SIGTERM) {
      logInfo(text);
    } else {
      logError(text);
    }
  }
  if (stopRestores_) {
    // How it ended tells more than the answer when that was not our stop,
    // which a program ends with status 0 or SIGTERM (SIGKILL after the time).
    if (status.exited && status.code != 0)
      startFailure_ += " (exited with status " + std::to_string(status.code) + ")";
    else if (status.signal > 0 && status.signal != SIGTERM && status.signal != SIGKILL)
      startFailure_ += " (killed by signal " + signalText(status.signal) + ")";
    // A process that never answered well is no new identity.
    pid_ = prevPid_;
    signalledPid_ = prevSignalled_;
  }
  exitedByItself_ = stopFault_ && !stopRestores_ && status.signal <= 0;
  lastExitCode_ = status.signal > 0 ? -1 : status.code;
  if (stopFault_) {
    lastFaultTime_ = time(nullptr);
    lastFaultCause_ = lastEnd_;
    countFault(healthStop_ ? healthFault_
                           : status.signal > 0 ? FaultCause::kSignal : FaultCause::kExit);
  }
  if (healthStop_) {
    // However the program took its stop, it had failed: a death by a
    // signal, restarted on the schedule.
    signalledPid_ = pid;
    exitedByItself_ = false;
    lastExitCode_ = -1;
    lastFaultCause_ = healthCause_;
    return false;
  }
  return status.exited;
}

void Component::startHealth() {
  if (!loop_ || !proc_ || !proc_->attached() || isCheckMode()) return;
  lastHealth_.clear();
  notifyStatus_.clear();
  checking_ = true;
  ComponentProcess::Sink sink = sink_;
  auto failed = [sink] { sink(ComponentProcess::Event::kUnhealthy); };
  if (def_.health.hasCheck()) {
    uid_t uid = 0;
    gid_t gid = 0;
    try {
      def_.resolveIdentity(uid, gid);
      probe_ = HealthProbe::start(*loop_, def_.health, uid, gid, failed);
    } catch (const std::exception& e) {
      logError("component \"" + def_.name + "\" runs unchecked: " + e.what());
    }
  }
  if (notify_) notify_->watch(*loop_, pid_, def_.health.watchdog, failed);
}

void Component::stopHealth(bool closeSocket) {
  if (checking_) lastHealth_ = healthResults();
  checking_ = false;
  if (probe_) {
    probe_->stop();
    probe_.reset();
  }
  if (notify_) {
    notifyStatus_ = notify_->statusText();
    notify_->stop();
    if (closeSocket) notify_.reset();
  }
}

std::vector<HealthResult> Component::healthResults() const {
  if (!checking_) return lastHealth_;
  std::vector<HealthResult> out;
  if (probe_) out.push_back(probe_->result());
  if (notify_) out.push_back(notify_->result());
  return out;
}

std::string Component::notifyStatus() const {
  return checking_ && notify_ ? notify_->statusText() : notifyStatus_;
}

void Component::failHealth() {
  if (!running()) return;
  std::string cause;
  if (notify_ && notify_->result().result == "failed") {
    cause = notify_->cause();
    healthFault_ = FaultCause::kWatchdog;
  }
  if (probe_ && probe_->result().failures >= def_.health.retries) {
    cause = probe_->cause();
    healthFault_ = FaultCause::kCheck;
  }
  if (cause.empty()) return;
  if (notify_) notifyStatus_ = notify_->statusText();
  logError("component \"" + def_.name + "\" pid=" + std::to_string(pid_) + " failed: " + cause);
  healthCause_ = cause;
  healthStop_ = true;
  if (!beginStop(true)) {
    healthStop_ = false;
    return;
  }
  // A stopped process holds SIGTERM until continued.
  if (proc_) proc_->signalGroup(SIGCONT);
}

bool Component::takeHealthStop() {
  if (!healthStop_ || state_ != State::kStopped) return false;
  healthStop_ = false;
  return true;
}

bool Component::processEnded() const { return running() && proc_->ended(); }

bool Component::fault(time_t faultTime, const std::string& appName, const std::string& dir,
                      const std::vector<std::string>& affectedApps) {
  logDebug("Component::fault( .. ) # " + def_.name);
  const pid_t pid = pid_;
  logInfo("component \"" + def_.name + "\" fault, pid=" + std::to_string(pid));
  if (stop(true)) {
    logDebug("component \"" + def_.name + "\" stopped himself, do not sending report");
    return true;
  }
  logDebug("component \"" + def_.name + "\" cannot stop");
  inform(composeFailureMail(pid, def_.name, faultTime, appName, dir, affectedApps, healthCause_));
  healthCause_.clear();
  return false;
}

void Component::cannotRecover(time_t faultTime, const std::vector<time_t>& attempts,
                              const std::string& appName, const std::string& dir) {
  const std::string mail =
      composeCannotRecoverMail(pid_, def_.name, faultTime, attempts, appName, dir);
  logInfo("cannot recovery component " + def_.name);
  inform(mail);
}

void Component::sendSignal(int sig) {
  logDebug("Component::sendSignal() # " + def_.name);
  if (!running()) return;
  if (pid_ < 1) {
    logError("error pid # component name=" + def_.name);
    return;
  }
  kill(pid_, sig);
  char buf[64];
  snprintf(buf, sizeof(buf), "send signal (num=%d) to \"", sig);
  logDebug(buf + def_.name + "\" pid=" + std::to_string(pid_));
}

void Component::signalIfListed(std::set<pid_t>& pids, int sig) {
  auto it = pids.find(pid_);
  if (it == pids.end()) return;
  pids.erase(it);
  sendSignal(sig);
}

bool Component::reconfigure(const Component& newDef) {
  def_.timeStart = newDef.def_.timeStart;
  def_.timeStop = newDef.def_.timeStop;
  bool forNewProcess = false;
  if (def_.health != newDef.def_.health) {
    // A watchdog given or taken away changes the program's environment:
    // only a new process gets it. A changed check is taken over at once.
    const bool socketChanged = (def_.health.watchdog > 0) != (newDef.def_.health.watchdog > 0);
    def_.health = newDef.def_.health;
    logInfo("component \"" + def_.name + "\" changed health checks");
    if (socketChanged && (running() || starting())) {
      forNewProcess = true;
    } else if (running()) {
      stopHealth(false);
      startHealth();
    }
  }
  if (def_.takeProcessSettings(newDef.def_))
    logInfo("component \"" + def_.name + "\" changed limits or environment (from its next start)");
  if (def_.logType != newDef.def_.logType || def_.cmd != newDef.def_.cmd) {
    def_.logType = newDef.def_.logType;
    def_.cmd = newDef.def_.cmd;
    logInfo("component \"" + def_.name + "\" changed logType");
    createInformer();
  }
  if (def_.argv != newDef.def_.argv) {
    logInfo("component \"" + def_.name + "\" changed argv \"" + def_.argv + "\" to \"" + newDef.def_.argv +
            "\"");
    def_.argv = newDef.def_.argv;
    return true;
  }
  const std::string oldPerm = permissions();
  const std::string newPerm = newDef.permissions();
  if (oldPerm != newPerm) {
    logInfo("component \"" + def_.name + "\" changed parmissions \"" + oldPerm + "\" to \"" + newPerm +
            "\"");
    def_.user = newDef.def_.user;
    def_.group = newDef.def_.group;
    return true;
  }
  return forNewProcess;
}
