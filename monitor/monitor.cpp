#include "monitor/monitor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "frame/log.h"
#include "frame/process_state.h"
#include "frame/run_mode.h"
#include "frame/scoped_signal_mask.h"
#include "frame/utils.h"
#include "monitor/application.h"
#include "monitor/component.h"
#include "monitor/standart_comp_strategy.h"
#include "notify/notify_info.h"

using norvak::base::UniqueFd;
namespace asio = boost::asio;

namespace {

const Clock::MonoTime kNever = Clock::MonoTime::max();

}  // namespace

struct Monitor::Loop {
  asio::io_context io;
  asio::signal_set signals{io};
  bool listening = false;
  // The next restart try and the retry delay of the start in progress, each
  // armed only while one is due; the times are the monitor's clock's.
  asio::steady_timer restart{io};
  asio::steady_timer retry{io};
  Clock::MonoTime restartAt = kNever;
  Clock::MonoTime retryAt = kNever;
  // In mainLoop(): a SIGHUP is acted on at once.
  bool looping = false;
};

const char* const Monitor::kAgentApp = "AGENT";
const char* const Monitor::kMaildApp = "MAILD";

Monitor::Monitor(const std::string& confFile, const std::string& runList, bool update,
                 const Clock& clock)
    : clock_(clock), loop_(std::make_unique<Loop>()), settings_(confFile), store_(update) {
  logDebug("Monitor::Monitor() confFile = " + confFile);
  if (!runList.empty()) {
    std::vector<std::string> names;
    Utils::splitBy(runList, ",", names);
    for (const std::string& name : names) cmdRunSet_.insert(name);
  }
  Monitor::reloadData();
  if (settings_.isEnterpriseMode()) cmdRunSet_.insert(kAgentApp);
  loadStore(store_);
}

Monitor::~Monitor() {
  logDebug("Monitor::~Monitor()");
  setState(false);
  // Its threads end before anything they reach goes.
  if (agent_) agent_->close();
}

void Monitor::loadStore(RunAppStore& store) {
  store.load(settings_.getMetaConfigDir());
  store.setRegenerator(this);
  store.setWatcher(this);
  store.setClock(clock_);
}

void Monitor::setState(bool started) {
  ProcessState state = started ? STARTED : STOPPED;
  setProcessState(state);
  logDebug(std::string("Monitor::setState to ") + processStateName(state));
}

bool Monitor::isRunning() { return isProcessRunning(); }

void Monitor::reloadData() {
  logDebug("Monitor::reloadData()");
  settings_.reload();
  applySettings();
}

void Monitor::applySettings() {
  std::string host;
  Utils::getHostName(host);
  NotifyInfo::instance().setIdentity(kProgramTitle, Utils::osName(), kProgramVersion, host,
                                     settings_.getRecoveryTimeList());
  events_.setTimeList(settings_.getRecoveryTimeList());
  settingsChanged();
}

void Monitor::refreshNotifySettings() {
  NotifyInfo::instance().setAddresses(settings_.getFilterMail(), settings_.getAdminMail());
  setInjectCmd(settings_.getInjectCmd());
}

void Monitor::verifyRunSet(const AppNameSet& set) { store_.verify(set); }

void Monitor::getFirstRunAppSet(AppNameSet& set) {
  logDebug("Monitor::getFirstRunAppSet()");
  set.clear();
  try {
    if (settings_.isEnterpriseMode()) {
      set.insert(kAgentApp);
      verifyRunSet(set);
    } else {
      getRunAppSet(set);
    }
  } catch (const RunAppStore::VerifyError& e) {
    throw InitError(e.what());
  }
}

void Monitor::computeRunAppSet(AppNameSet& set) const {
  set.clear();
  if (settings_.isEnterpriseMode()) {
    set = settings_.getAgentRunAppList();
    // The agent supplies the list, so it runs whether it lists itself or
    // not; until it has answered it is all there is to run.
    set.insert(kAgentApp);
  } else if (!cmdRunSet_.empty()) {
    set = cmdRunSet_;
  } else {
    set = settings_.getRunAppList();
  }
  dropAdminStopped(set);
}

void Monitor::getRunAppSet(AppNameSet& set) {
  logDebug("Monitor::getRunAppSet()");
  if (settings_.isEnterpriseMode()) readConfigFromAgent();
  computeRunAppSet(set);
  verifyRunSet(set);
}

void Monitor::start() {
  logDebug("Monitor::start()");
  setState(true);
  refreshNotifySettings();
  startAgentNotifier();
  AppNameSet first;
  getFirstRunAppSet(first);
  if (store_.isUpdateMode() || isCheckAll()) {
    store_.start(first, settings_.getAgentAddress(), settings_.getPidFileDir());
  } else {
    listenSignals();
    store_.planStart(std::vector<std::string>(first.begin(), first.end()), store_.retryDelays(),
                     false);
    armTimers();
    {
      ScopedSignalMask open({SIGHUP, SIGTERM, SIGINT});
      while (isRunning() && store_.startsPending()) runOne();
    }
    if (!isRunning()) return;
  }

  AppNameSet started = store_.startedNames();
  bool any = false;
  for (const std::string& name : first) {
    if (started.count(name)) {
      any = true;
      break;
    }
  }
  if (!any) throw InitError("no applications started");
  firstRunSetStarted();

  connectToAgent();
  readConfigFromAgent();
  if (settings_.isEnterpriseMode()) {
    applyAgentRunList(first);
    return;
  }
  AppNameSet full;
  getRunAppSet(full);
  if (full != first) store_.applyRunAppSet(full);
}

void Monitor::mainLoop() {
  logDebug("Monitor::mainLoop()");
  {
    std::lock_guard<std::mutex> lock(mainLoopMutex_);
    mainLoopRunning_ = true;
  }
  mainLoopCond_.notify_all();

  listenSignals();
  loop_->looping = true;
  {
    ScopedSignalMask open({SIGHUP, SIGTERM, SIGINT});
    auto guarded = [this](const std::function<void()>& step) {
      try {
        step();
      } catch (const std::exception& e) {
        logError(std::string("internal error in main loop: ") + e.what());
      }
    };
    guarded([this] {
      if (std::exchange(reloadRequested_, false)) reload();
      endIfNothingRuns();
      afterEvent();
    });
    // After a SIGTERM the loop goes on until the applications have stopped.
    while (isRunning() || store_.stopsPending()) guarded([this] { runOne(); });
  }
  loop_->looping = false;

  {
    std::lock_guard<std::mutex> lock(mainLoopMutex_);
    mainLoopRunning_ = false;
  }
  mainLoopCond_.notify_all();
}

void Monitor::runOne() {
  // Stopped only when it ran out of work, which the signals never do.
  if (loop_->io.run_one() == 0) loop_->io.restart();
}

void Monitor::runFor(std::chrono::milliseconds time) {
  loop_->io.restart();
  loop_->io.run_for(time);
}

asio::io_context& Monitor::loop() { return loop_->io; }

void Monitor::post(std::function<void()> job) { asio::post(loop_->io, std::move(job)); }

void Monitor::requestStop() {
  setState(false);
  post([] {});  // wakes the loop, which then sees the state
}

void Monitor::listenSignals() {
  if (loop_->listening) return;
  loop_->listening = true;
  for (int sig : {SIGHUP, SIGTERM, SIGINT}) loop_->signals.add(sig);
  struct Waiter {
    Monitor* monitor;
    void operator()(const boost::system::error_code& ec, int sig) const {
      if (ec) return;
      if (sig == SIGHUP)
        monitor->reload(sig, "SIGHUP");
      else
        monitor->terminate(sig, sig == SIGTERM ? "SIGTERM" : "SIGINT");
      monitor->afterEvent();
      monitor->loop_->signals.async_wait(*this);
    }
  };
  loop_->signals.async_wait(Waiter{this});
}

void Monitor::processEvent(Application& app, Component& comp, ComponentProcess::Event event) {
  if (event == ComponentProcess::Event::kStopped) {
    app.componentStopped(comp);
    afterEvent();
    return;
  }
  // Once the monitor stops, the stops take every process down.
  if (!isRunning()) return;
  switch (event) {
    case ComponentProcess::Event::kAnswered:
    case ComponentProcess::Event::kAnswerTimedOut:
      if (comp.starting())
        answerArrived(app, comp, event == ComponentProcess::Event::kAnswerTimedOut);
      break;
    case ComponentProcess::Event::kEnded:
      if (comp.running()) componentDied(app, comp);
      break;
    case ComponentProcess::Event::kStopped:
      break;
  }
  afterEvent();
}

void Monitor::afterEvent() {
  store_.advanceStarts(clock_.monoNow());
  finishAdminJobs();
  armTimers();
}

void Monitor::runDue() {
  if (isRunning()) processDeferredEvents();
  afterEvent();
}

void Monitor::armTimers() {
  auto arm = [this](asio::steady_timer& timer, Clock::MonoTime& armed, bool due,
                    Clock::MonoTime at) {
    if (!due) at = kNever;
    if (at == armed) return;
    armed = at;
    if (at == kNever) {
      timer.cancel();
      return;
    }
    timer.expires_after(at - clock_.monoNow());
    timer.async_wait([this, &armed](const boost::system::error_code& ec) {
      if (ec) return;
      armed = kNever;
      runDue();
    });
  };
  int64_t due = 0;
  const bool restartDue = isRunning() && events_.nextDue(due);
  // Due times are whole monotonic seconds.
  arm(loop_->restart, loop_->restartAt, restartDue, Clock::MonoTime(std::chrono::seconds(due)));
  Clock::MonoTime at;
  const bool retryDue = store_.startRetryPending(at);
  arm(loop_->retry, loop_->retryAt, retryDue, at);
}

void Monitor::endIfNothingRuns() {
  endCheckPosted_ = false;
  if (!isRunning() || !loop_->looping) return;
  if (store_.runningCount() > 0 || store_.startsPending()) return;
  logInfo(std::string("all applications have stoped, terminate ") + kProgramName +
          " application");
  kill(getpid(), SIGTERM);
}

void Monitor::componentDied(Application& app, Component& comp) {
  const time_t wall = clock_.wallNow();
  if (!app.isRunning()) {
    comp.stop(false);
    return;
  }
  DeferredEvent event(wall, clock_.monoSeconds(), comp.pid(), app.name(), comp.name());
  bool noTryLeft = false;
  try {
    events_.pushFault(event);
  } catch (const DeferredEventStore::TimeoutError&) {
    noTryLeft = true;
  }
  store_.componentFault(app, comp, wall);
  if (noTryLeft) {
    comp.setGivenUp();
    app.cannotRecover(comp, wall);
  }
}

void Monitor::answerArrived(Application& app, Component& comp, bool timedOut) {
  auto it = std::find_if(recovering_.begin(), recovering_.end(), [&](const DeferredEvent& e) {
    return e.isFor(app.name(), comp.name());
  });
  if (it == recovering_.end()) {
    store_.answerArrived(app, comp, timedOut, clock_.monoNow());
    return;
  }
  const DeferredEvent event = *it;
  recovering_.erase(it);
  StandartCompStrategy strategy;
  switch (app.finishStart(comp, timedOut, strategy)) {
    case Application::CompStart::kAnswered:
      app.recovered(comp, event.faultTime, event.tryNo, clock_.wallNow());
      store_.after_app_recovery(app.name());
      // The agent is back: notices that waited for it go now.
      if (agent_ && appNameEqual(app.name(), kAgentApp)) agent_->agentBack();
      return;
    case Application::CompStart::kStoppedHimself:
      logError("component \"" + comp.name() + "\" stopped himself");
      break;
    case Application::CompStart::kFailed:
      break;
  }
  retryOrGiveUp(event);
}

void Monitor::retryOrGiveUp(const DeferredEvent& event) {
  try {
    events_.pushFault(event);
  } catch (const DeferredEventStore::TimeoutError&) {
    giveUp(event);
  }
}

void Monitor::giveUp(const DeferredEvent& event) {
  AppStore::AppPtr app = store_.find(event.appName);
  Component* comp = app ? app->findComponent(event.compName) : nullptr;
  if (comp) {
    comp->setGivenUp();
    app->cannotRecover(*comp, event.faultTime);
  }
  stopFaultyApps();
}

void Monitor::stopFaultyApps() {
  AppNameSet runSet;
  computeRunAppSet(runSet);
  store_.stopFaultyApps(runSet);
}

void Monitor::dropStaleRecoveries() {
  // A restart whose application was stopped or reloaded away meanwhile has
  // nobody left to answer.
  recovering_.erase(std::remove_if(recovering_.begin(), recovering_.end(),
                                   [this](const DeferredEvent& e) {
                                     AppStore::AppPtr app = store_.find(e.appName);
                                     Component* comp =
                                         app ? app->findComponent(e.compName) : nullptr;
                                     return !comp || !comp->starting();
                                   }),
                    recovering_.end());
}

void Monitor::processDeferredEvents() {
  dropStaleRecoveries();
  DeferredEvent event;
  while (isRunning() && events_.popDue(clock_.monoSeconds(), event)) {
    AppStore::AppPtr app = store_.find(event.appName);
    Component* comp = app ? app->findComponent(event.compName) : nullptr;
    // The first try needs the death by a signal; a later one exists only
    // because such a death was followed by failed restarts.
    if (!comp || !app->isRunning() || (event.tryNo <= 1 && comp->signalledPid() != event.pid)) {
      stopFaultyApps();
      continue;
    }
    // Brought back by something else meanwhile (a reload restart, say).
    if (comp->running() || comp->starting() || comp->stopping()) continue;
    if (app->beginRecovery(*comp, clock_.monoNow())) {
      comp->countRestart();
      recovering_.push_back(event);
    }
    else
      retryOrGiveUp(event);
  }
}

// ---- Configuration agent: StartApp / StopApp ---------------------------------
// Only handed on: the agent's side does the talking on threads of its own, so
// an agent that does not answer never holds the loop.

void Monitor::appStarted(const Application& app) {
  if (appNameEqual(app.name(), kAgentApp)) {
    if (agent_) agent_->agentBack();
    return;
  }
  logInfo("application \"" + app.name() + "\" started");
  if (agent_) agent_->appStarted(app);
}

void Monitor::appStopped(const Application& app) {
  if (isRunning() && !endCheckPosted_) {
    endCheckPosted_ = true;
    post([this] { endIfNothingRuns(); });
  }
  if (!isRunning() || appNameEqual(app.name(), kAgentApp)) return;
  logInfo("application \"" + app.name() + "\" stoped");
  if (agent_) agent_->appStopped(app);
}

void Monitor::setAgent(std::unique_ptr<AgentPort> agent) { agent_ = std::move(agent); }

void Monitor::startAgentNotifier() {
  if (isCheckMode() || !agent_) return;
  agent_->configure(agentAddress(), settings_.getAgentResponseTime());
  agent_->beginNotices();
}

// ---- Configuration agent: session and settings ------------------------------

std::string Monitor::agentAddress() const {
  return isCheckAll() ? settings_.getAgentAddress() + ".tmp" : settings_.getAgentAddress();
}

void Monitor::connectToAgent() {
  logDebug("Monitor::connectToAgent()");
  if (agent_) agent_->configure(agentAddress(), settings_.getAgentResponseTime());
}

void Monitor::readConfigFromAgent() {
  if (agent_) agent_->read(settings_, store_.isDefined(kMaildApp));
  refreshNotifySettings();
  settingsChanged();  // the agent's MTA decides whether an update is pending
}

void Monitor::applyAgentRunList(const AppNameSet& current) {
  AppNameSet full;
  computeRunAppSet(full);
  try {
    verifyRunSet(full);
  } catch (const RunAppStore::VerifyError& e) {
    logError(std::string("run list from norvak-agent refused: ") + e.what());
    return;
  }
  if (full != current) store_.applyRunAppSet(full);
}

void Monitor::reload() {
  logDebug("Monitor::reload()");
  // Nothing is taken over before everything is read and checked: a refused
  // reload leaves the settings and the store as they were.
  const MonitorConfReader before = settings_;
  AppNameSet full;
  try {
    settings_.reload();
    RunAppStore fresh(store_.isUpdateMode());
    loadStore(fresh);
    computeRunAppSet(full);
    fresh.verify(full);
    applySettings();
    store_.update(fresh, full);
  } catch (const std::exception& e) {
    full.clear();
    logError(std::string("reload error: ") + e.what());
    settings_ = before;
    initLog(settings_.getLogType(), settings_.getLogLevel(), settings_.getIpcLogLevel(),
            settings_.getSyslogFacility(), isCheckMode(), isCheckAll());
  }
  store_.signalAll(SIGHUP);
  // The agent too, refused reload or not: the settings may name another one,
  // and its values (the run list in enterprise mode) are read afresh.
  readAgentAfterReload(full);
}

void Monitor::readAgentAfterReload(const AppNameSet& full) {
  logDebug("Monitor::reconnectToAgent()");
  if (!agent_) return;
  agent_->configure(agentAddress(), settings_.getAgentResponseTime());
  // Read on a copy, off the loop: supervision goes on under the settings
  // held, and the loop takes the agent's values over when they come.
  const uint64_t generation = ++agentReads_;
  agent_->readAfresh(settings_, store_.isDefined(kMaildApp),
                     [this, generation, full](const MonitorConfReader::AgentValues& values) {
                       // A later reload's read counts instead.
                       if (generation != agentReads_ || !isRunning()) return;
                       settings_.setAgentValues(values);
                       refreshNotifySettings();
                       settingsChanged();
                       if (settings_.isEnterpriseMode()) applyAgentRunList(full);
                       afterEvent();
                     });
}

void Monitor::changedConfReload(std::set<pid_t> pids) {
  logDebug("Monitor::changedConfReload()");
  store_.signalPids(pids, SIGHUP);
  if (ownPid_ > 0 && pids.count(ownPid_)) {
    reload();
    pids.erase(ownPid_);
  }
  hupFilePass(pids);
}

bool Monitor::parseHupFileName(const std::string& path, std::string& component, pid_t& pid) {
  // Only the file's own name counts: a dot in the directory must not shift
  // the fields.
  std::string::size_type slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.size() <= 4) return false;
  std::string::size_type n = name.size() - 4;
  if (name[n] != '.') return false;
  std::string::size_type dot = name.rfind('.', n - 1);
  if (dot == std::string::npos) return false;
  int value = 0;
  if (sscanf(name.substr(dot + 1, n - dot - 1).c_str(), "%d", &value) != 1) return false;
  pid = value;
  component = name.substr(0, dot);
  return true;
}

void Monitor::sendHup(pid_t pid, const std::string& name) {
  logInfo("send HUP signal to component " + (name.empty() ? std::string() : "\"" + name + "\" ") +
          "with pid = " + std::to_string(pid));
  kill(pid, SIGHUP);
}

void Monitor::hupFilePass(std::set<pid_t>& pids) {
  std::vector<std::string> files;
  Utils::listFiles(settings_.getPidFileDir(), ".hup", files);
  for (const std::string& path : files) {
    // Only a regular file is a hup file. Anybody who may write the directory
    // could put a FIFO there, whose blocking open would hold the loop until
    // somebody reads it, or a link to a file the monitor must not lock.
    auto skip = [&path] { logAlert("hup file \"" + path + "\" is not a regular file, skipped"); };
    struct stat before;
    if (lstat(path.c_str(), &before) == 0 && !S_ISREG(before.st_mode)) {
      skip();
      continue;
    }
    int fd;
    do {
      fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    // Swapped for a link or a FIFO since the look above.
    if (fd < 0 && (errno == ELOOP || errno == ENXIO)) {
      skip();
      continue;
    }
    if (fd < 0) {
      logAlert("error in open hup file \"" + path + "\":" + strerror(errno));
      continue;
    }
    UniqueFd file(fd);
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      skip();
      continue;
    }
    std::string component;
    pid_t pid = -1;
    if (!parseHupFileName(path, component, pid)) {
      logAlert("bad hup file format \"" + path + "\"");
      continue;
    }
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_pid = getpid();
    int rc;
    do {
      rc = fcntl(fd, F_SETLK, &lock);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) {
      logInfo("unlink not locked hup file \"" + path + "\"");
      if (unlink(path.c_str()) != 0) {
        logError("unlink error, file \"" + path + "\":" + strerror(errno));
      }
    } else if (pids.count(pid)) {
      sendHup(pid, component);
      pids.erase(pid);
    }
  }
}

void Monitor::reload(int, const std::string& name) {
  logInfo("Monitor::reload(): arrived " + name);
  // During the start the reload waits for the main loop.
  if (loop_->looping)
    reload();
  else
    reloadRequested_ = true;
}

void Monitor::terminate(int, const std::string& name) {
  logInfo("Monitor::terminate(): arrived " + name);
  if (!isRunning()) return;
  setState(false);
  // Independent applications stop side by side, dependents before what they
  // need; the loop runs until the last one has stopped.
  store_.stopAll();
}

void Monitor::inform(int, const std::string& name) {
  logDebug("Monitor::inform(): arrived " + name);
}

void Monitor::addChangedConf(const std::set<pid_t>& pids) {
  logDebug("Monitor::addChangedConf()");
  post([this, pids] {
    if (isRunning() && store_.runningCount() > 0) changedConfReload(pids);
    afterEvent();
  });
}

void Monitor::stop() {
  logDebug("Monitor::stop()");
  std::unique_lock<std::mutex> lock(mainLoopMutex_);
  mainLoopCond_.wait(lock, [this] { return !mainLoopRunning_; });
  lock.unlock();
  {
    std::lock_guard<std::mutex> admin(adminMutex_);
    acceptingJobs_ = false;
  }
  // What was handed in meanwhile is answered now (the state says the monitor
  // is stopping); nobody serves the starts in progress any more.
  loop_->io.restart();
  loop_->io.poll();
  for (const std::shared_ptr<AdminJob>& job : adminStarting_)
    finishAdminJob(job, false, "the monitor is stopping");
  adminStarting_.clear();
  store_.stop();
  // Stopped now, as asked; a restart's start will not come.
  for (const AdminStop& stop : adminStopping_)
    finishAdminJob(stop.job, stop.job->kind == AdminJob::kStop,
                   stop.job->kind == AdminJob::kStop ? "" : "the monitor is stopping");
  adminStopping_.clear();
}

// ---- Administrators' requests ------------------------------------------------

bool Monitor::runAdminJob(const std::shared_ptr<AdminJob>& job, int seconds) {
  {
    std::lock_guard<std::mutex> lock(adminMutex_);
    if (!acceptingJobs_) {
      job->message = "the monitor is stopping";
      job->done = true;
      return true;
    }
  }
  post([this, job] {
    serveAdminJob(job);
    afterEvent();
  });
  std::unique_lock<std::mutex> lock(adminMutex_);
  return adminCond_.wait_for(lock, std::chrono::seconds(std::max(seconds, 1)),
                             [&job] { return job->done; });
}

void Monitor::finishAdminJob(const std::shared_ptr<AdminJob>& job, bool ok,
                             const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(adminMutex_);
    job->ok = ok;
    job->message = message;
    job->done = true;
  }
  adminCond_.notify_all();
}

void Monitor::dropAdminStopped(AppNameSet& set) const {
  if (adminStopped_.empty()) return;
  AppNameSet dropped = adminStopped_;
  // Whatever depends, however indirectly, on a stopped application would
  // start it again as its dependency.
  for (bool grew = true; grew;) {
    grew = false;
    for (const AppStore::AppPtr& app : store_.applications()) {
      if (dropped.count(app->name())) continue;
      for (const std::string& dep : app->dependencies()) {
        if (dropped.count(dep)) {
          dropped.insert(app->name());
          grew = true;
          break;
        }
      }
    }
  }
  for (const std::string& name : dropped) set.erase(name);
}

void Monitor::beginAdminStart(const std::shared_ptr<AdminJob>& job) {
  const std::string& name = job->names.front();
  AppStore::AppPtr app = store_.find(name);
  // Its dependencies come up with it, so they are no longer held down.
  std::vector<std::string> pending{app->name()};
  while (!pending.empty()) {
    const std::string next = pending.back();
    pending.pop_back();
    adminStopped_.erase(next);
    if (AppStore::AppPtr dep = store_.find(next))
      pending.insert(pending.end(), dep->dependencies().begin(), dep->dependencies().end());
  }
  try {
    store_.planStart({app->name()}, store_.retryDelays(), true);
  } catch (const std::exception& e) {
    finishAdminJob(job, false, std::string("cannot start \"") + name + "\": " + e.what());
    return;
  }
  adminStarting_.push_back(job);
}

void Monitor::serveAdminJob(const std::shared_ptr<AdminJob>& job) {
  if (job->kind == AdminJob::kStatus) {
    fillStatus(*job);
    finishAdminJob(job, job->status.ok, job->status.message);
    return;
  }
  AppStore::AppPtr app = job->names.empty() ? nullptr : store_.find(job->names.front());
  if (!app) {
    finishAdminJob(job, false,
                   "unknown application \"" + (job->names.empty() ? "" : job->names.front()) +
                       "\"");
    return;
  }
  if (!isRunning()) {
    finishAdminJob(job, false, "the monitor is stopping");
    return;
  }
  AdminStop pending{job, {}};
  if (job->kind == AdminJob::kRestart) {
    // A restart brings back the dependents its stop takes down.
    std::vector<std::string> next = store_.dependentsOf(app->name());
    while (!next.empty()) {
      const std::string name = next.back();
      next.pop_back();
      AppStore::AppPtr dep = store_.find(name);
      if (!dep || !dep->isRunning() ||
          std::find(pending.dependents.begin(), pending.dependents.end(), dep->name()) !=
              pending.dependents.end())
        continue;
      pending.dependents.push_back(dep->name());
      const std::vector<std::string> more = store_.dependentsOf(dep->name());
      next.insert(next.end(), more.begin(), more.end());
    }
  }
  if (job->kind == AdminJob::kStop || job->kind == AdminJob::kRestart) {
    logInfo("application \"" + app->name() + "\" stopped by the administrator");
    if (app->isRunning()) store_.stopAppAndIDepends(*app);
    adminStopped_.insert(app->name());
  }
  // Either goes on once the stop is over.
  if (store_.isStopping(app->name()))
    adminStopping_.push_back(std::move(pending));
  else
    adminStopped(pending);
}

void Monitor::adminStopped(const AdminStop& stop) {
  const std::shared_ptr<AdminJob>& job = stop.job;
  if (job->kind == AdminJob::kStop) {
    finishAdminJob(job, true, std::string());
    return;
  }
  if (!isRunning()) {
    finishAdminJob(job, false, "the monitor is stopping");
    return;
  }
  logInfo("application \"" + job->names.front() + "\" started by the administrator");
  beginAdminStart(job);
  if (!stop.dependents.empty()) {
    try {
      store_.planStart(stop.dependents, store_.retryDelays(), true);
    } catch (const std::exception& e) {
      logError(std::string("restart of the dependents failed: ") + e.what());
    }
  }
}

void Monitor::finishAdminJobs() {
  for (size_t i = 0; i < adminStopping_.size();) {
    if (store_.isStopping(adminStopping_[i].job->names.front())) {
      ++i;
      continue;
    }
    const AdminStop done = std::move(adminStopping_[i]);
    adminStopping_.erase(adminStopping_.begin() + static_cast<std::ptrdiff_t>(i));
    adminStopped(done);
  }
  for (auto it = adminStarting_.begin(); it != adminStarting_.end();) {
    AppStore::AppPtr app = store_.find((*it)->names.front());
    if (app && store_.isQueued(app->name()) && isRunning()) {
      ++it;
      continue;
    }
    if (!isRunning())
      finishAdminJob(*it, false, "the monitor is stopping");
    else if (app && app->isStarted())
      finishAdminJob(*it, true, std::string());
    else
      finishAdminJob(*it, false, "start of \"" + (*it)->names.front() + "\" failed");
    it = adminStarting_.erase(it);
  }
}

void Monitor::fillStatus(AdminJob& job) const {
  using norvak::maild::NkAppStatus;
  using norvak::maild::NkCompStatus;
  norvak::maild::NkStatusResult& result = job.status;
  result = norvak::maild::NkStatusResult();
  for (const std::string& name : job.names) {
    if (!store_.find(name)) {
      result.message = "unknown application \"" + name + "\"";
      return;
    }
  }
  const time_t wall = clock_.wallNow();
  const int64_t mono = clock_.monoSeconds();
  for (const AppStore::AppPtr& app : store_.applications()) {
    if (!job.names.empty() &&
        std::none_of(job.names.begin(), job.names.end(),
                     [&app](const std::string& n) { return appNameEqual(n, app->name()); }))
      continue;
    NkAppStatus out;
    out.name = app->name();
    out.fullName = app->fullName();
    out.running = app->isRunning();
    out.adminStopped = adminStopped_.count(app->name()) > 0;
    out.dependencies.assign(app->dependencies().begin(), app->dependencies().end());
    for (const Component& comp : app->components()) {
      NkCompStatus c;
      c.name = comp.name();
      c.pid = comp.pid();
      c.restarts = comp.restarts();
      c.lastFaultTime = comp.lastFaultTime();
      c.lastFaultCause = comp.lastFaultCause();
      int64_t due = 0;
      if (comp.running()) {
        c.state = norvak::maild::kRunningState;
        c.startTime = comp.startTime();
      } else if (comp.starting()) {
        c.state = norvak::maild::kStartingState;
      } else if (comp.givenUp()) {
        c.state = norvak::maild::kGivenUpState;
      } else if (app->isRunning() && events_.dueFor(app->name(), comp.name(), due)) {
        c.state = norvak::maild::kWaitingState;
        c.nextTry = static_cast<int64_t>(wall) + std::max<int64_t>(due - mono, 0);
      } else if (app->isRunning() && comp.lastFaultTime() > 0) {
        c.state = norvak::maild::kFailedState;
      } else {
        c.state = norvak::maild::kStoppedState;
      }
      out.components.push_back(std::move(c));
    }
    result.apps.push_back(std::move(out));
  }
  result.ok = true;
}
