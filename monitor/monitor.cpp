#include "monitor/monitor.h"

#include <signal.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <algorithm>
#include <optional>
#include <chrono>
#include <utility>

#include "frame/log.h"
#include "frame/log_class.h"
#include "frame/process_state.h"
#include "frame/run_mode.h"
#include "frame/scoped_signal_mask.h"
#include "frame/service_notify.h"
#include "frame/utils.h"
#include "monitor/application.h"
#include "monitor/cgroup_tree.h"
#include "monitor/component.h"
#include "monitor/hup_files.h"
#include "monitor/recovery_plan.h"
#include "monitor/standart_comp_strategy.h"
#include "notify/delivery_threads.h"
#include "notify/notify_info.h"
#include "notify/notify_limiter.h"

namespace asio = boost::asio;

namespace {

const Clock::MonoTime kNever = Clock::MonoTime::max();

// What the loop takes as its own events; every other thread keeps them
// blocked.
const std::initializer_list<int> kLoopSignals = {SIGHUP, SIGTERM, SIGINT, SIGUSR1};

}  // namespace

struct Monitor::Loop {
  asio::io_context io;
  asio::signal_set signals{io};
  bool listening = false;
  // The next restart try, armed only while one is due; the times are the
  // monitor's clock's.
  asio::steady_timer restart{io};
  // The end of a minute in which notifications were held back or dropped.
  asio::steady_timer notify{io};
  Clock::MonoTime restartAt = kNever;
  Clock::MonoTime notifyAt = kNever;
  // In mainLoop(): a SIGHUP is acted on at once.
  bool looping = false;
  // Tells the service manager that the loop turns; when the loop is stuck,
  // so is this, which is what the manager's watchdog is there to notice.
  asio::steady_timer watchdog{io};
  bool watchdogArmed = false;
};

const char* const Monitor::kAgentApp = "AGENT";
const char* const Monitor::kMaildApp = "MAILD";

Monitor::Monitor(const std::string& confFile, const std::string& runList, bool update,
                 const Clock& clock)
    : clock_(clock),
      loop_(std::make_unique<Loop>()),
      settings_(confFile),
      store_(update),
      admin_(store_, events_, clock_),
      startedAt_(clock_.monoNow()) {
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

void Monitor::prepareMemoryCeilings(const RunAppStore& store) {
  // A check only looks at the components; it keeps nothing to confine.
  if (isCheckMode() || CgroupTree::shared()) return;
  std::string wanting;
  for (const auto& app : store.applications()) {
    for (const Component& comp : app->components()) {
      if (comp.def().memoryMax > 0 && wanting.empty()) wanting = comp.name();
    }
  }
  if (wanting.empty()) return;
  std::string why;
  std::shared_ptr<CgroupTree> tree = CgroupTree::forThisProcess(why);
  if (!tree) {
    logAlert("memory ceilings are not kept (component \"" + wanting + "\" asks for one): " + why);
    return;
  }
  logInfo("memory ceilings are kept in cgroup " + tree->base());
  CgroupTree::share(tree);
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
  planSettings_.delays = settings_.getRecoveryTimeList();
  planSettings_.stableTime = std::chrono::seconds(settings_.getStableTime());
  for (auto& app : plans_)
    for (auto& comp : app.second) comp.second.configure(planSettings_);
  settingsChanged();
}

void Monitor::refreshNotifySettings() {
  NotifyInfo::instance().setAddresses(settings_.getFilterMail(), settings_.getAdminMail());
  setInjectCmd(settings_.getInjectCmd());
  NotifyLimiter::instance().setLimit(settings_.getMailsPerMinute());
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
  admin_.dropStopped(set);
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
  prepareMemoryCeilings(store_);
  if (store_.isUpdateMode() || isCheckAll()) {
    store_.start(first, settings_.getAgentAddress(), settings_.getPidFileDir());
  } else {
    listenSignals();
    armWatchdog();
    store_.planStart(std::vector<std::string>(first.begin(), first.end()), false);
    armTimers();
    {
      ScopedSignalMask open(kLoopSignals);
      const size_t total = store_.queuedStarts();
      std::string shown;
      while (isRunning() && store_.startsPending()) {
        // A start of many applications can take minutes: the manager shows
        // which one it is at.
        const std::string next = store_.nextStart();
        if (next != shown) {
          shown = next;
          notifyServiceStatus("starting " + next + " (" +
                              std::to_string(total - store_.queuedStarts() + 1) + "/" +
                              std::to_string(total) + ")");
        }
        runOne();
      }
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
  } else {
    AppNameSet full;
    getRunAppSet(full);
    if (full != first) store_.applyRunAppSet(full);
  }
  reportRunning();
}

void Monitor::reportRunning() const {
  const int n = store_.runningCount();
  notifyServiceStatus("running " + std::to_string(n) + (n == 1 ? " application" : " applications"));
}

void Monitor::armWatchdog() {
  if (loop_->watchdogArmed || isCheckMode()) return;
  const std::chrono::microseconds every = serviceWatchdogInterval();
  if (every.count() <= 0) return;
  loop_->watchdogArmed = true;
  struct Tick {
    Monitor* monitor;
    std::chrono::microseconds every;
    void operator()(const boost::system::error_code& ec) const {
      if (ec) return;
      notifyServiceWatchdog();
      monitor->loop_->watchdog.expires_after(every);
      monitor->loop_->watchdog.async_wait(*this);
    }
  };
  notifyServiceWatchdog();
  loop_->watchdog.expires_after(every);
  loop_->watchdog.async_wait(Tick{this, every});
}

void Monitor::mainLoop() {
  logDebug("Monitor::mainLoop()");
  {
    std::lock_guard<std::mutex> lock(mainLoopMutex_);
    mainLoopRunning_ = true;
  }
  mainLoopCond_.notify_all();

  listenSignals();
  armWatchdog();
  loop_->looping = true;
  {
    ScopedSignalMask open(kLoopSignals);
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

// After a rotation the records go to a new file by the old name; the
// components are not told (SIGHUP would reload them all).
bool Monitor::reopenLog(const std::string& cause, std::string* failure) {
  if (!LogClass::reopen(failure)) {
    logError(*failure);
    return false;
  }
  logInfo("log file reopened " + cause);
  return true;
}

void Monitor::listenSignals() {
  if (loop_->listening) return;
  loop_->listening = true;
  for (int sig : kLoopSignals) loop_->signals.add(sig);
  struct Waiter {
    Monitor* monitor;
    void operator()(const boost::system::error_code& ec, int sig) const {
      if (ec) return;
      std::string failure;
      if (sig == SIGHUP)
        monitor->reload(sig, "SIGHUP");
      else if (sig == SIGUSR1)
        reopenLog("on SIGUSR1", &failure);
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
    // A component stopped for failing its checks goes the way of a crash,
    // unless its application is being stopped meanwhile (whose last stop
    // may take the application and the component away) or a reload deleted
    // it. Decided before the stop ends, for that reason.
    const bool died = comp.healthStopping() && app.isRunning() &&
                      app.findComponent(comp.name()) == &comp;
    Application::CompStart outcome = Application::CompStart::kFailed;
    if (app.componentStopped(comp, &outcome)) startEnded(app, comp, outcome);
    if (died && comp.takeHealthStop() && isRunning()) componentDied(app, comp);
    afterEvent();
    return;
  }
  // Once the monitor stops, the stops take every process down.
  if (!isRunning()) return;
  switch (event) {
    case ComponentProcess::Event::kAnswered:
    case ComponentProcess::Event::kAnswerTimedOut:
      if (comp.starting()) {
        answerArrived(app, comp, event == ComponentProcess::Event::kAnswerTimedOut);
        if (comp.running()) comp.answeredAt(clock_.monoNow());
      }
      break;
    case ComponentProcess::Event::kEnded:
      if (comp.running()) componentDied(app, comp);
      break;
    case ComponentProcess::Event::kUnhealthy:
      if (comp.running() && app.isRunning()) comp.failHealth();
      break;
    case ComponentProcess::Event::kStopped:
      break;
  }
  afterEvent();
}

void Monitor::afterEvent() {
  store_.advanceStarts(clock_.monoNow());
  admin_.finishDone();
  armTimers();
  suiteChanged();
}

void Monitor::figures(SuiteFigures& out) {
  gatherer_.gather(store_, clock_.monoNow(), out);
  out.startedAt = startedAt_;
  out.reloads = reloads_;
  out.reloadErrors = reloadErrors_;
  const NotifyLimiter::Totals mails = NotifyLimiter::instance().totals();
  out.mailsSent = mails.sent;
  out.mailsHeldBack = mails.heldBack;
  out.mailsDropped = DeliveryThreads::dropped();
}

void Monitor::runDue() {
  if (isRunning()) processDeferredEvents();
  NotifyLimiter::instance().flush(clock_.monoNow());
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
  Clock::MonoTime at;
  const bool restartDue = isRunning() && events_.nextDue(at);
  arm(loop_->restart, loop_->restartAt, restartDue, at);
  const bool notifyDue = NotifyLimiter::instance().due(&at);
  arm(loop_->notify, loop_->notifyAt, notifyDue, at);
}

void Monitor::endIfNothingRuns() {
  endCheckPosted_ = false;
  if (!isRunning() || !loop_->looping || !suiteEnded()) return;
  logInfo(std::string("all applications have stoped, terminate ") + kProgramName +
          " application");
  if (failed_) endStatus_ = 8;
  kill(getpid(), SIGTERM);
}

void Monitor::componentDied(Application& app, Component& comp) {
  const time_t wall = clock_.wallNow();
  const Clock::MonoTime now = clock_.monoNow();
  if (!app.isRunning()) {
    comp.stop(false);
    return;
  }
  const pid_t pid = comp.pid();
  RecoveryPlan& plan = planFor(app.name(), comp.name());
  const bool continued = plan.continues(now);
  store_.componentFault(app, comp, wall);
  // Only a crash goes on with the sequence; a clean exit opens its own, whose
  // first try finds out how the process ended.
  if (continued && comp.signalledPid() != pid) plan.forgetAnswer();
  const bool tryLeft = plan.fault(now, wall);
  DeferredEvent event(plan.faultTime(), pid, app.name(), comp.name());
  if (tryLeft) {
    schedule(event, plan);
    return;
  }
  if (plan.tryNo() > 0) {
    giveUp(event);
    return;
  }
  failed_ = true;
  comp.setGivenUp();
  app.cannotRecover(comp, wall, {});
}

RecoveryPlan& Monitor::planFor(const std::string& appName, const std::string& compName) {
  auto& comps = plans_[appName];
  auto it = comps.find(compName);
  if (it == comps.end()) it = comps.emplace(compName, RecoveryPlan(planSettings_)).first;
  return it->second;
}

void Monitor::schedule(DeferredEvent event, const RecoveryPlan& plan) {
  event.tryNo = plan.tryNo();
  event.due = plan.due();
  events_.push(std::move(event));
}

std::optional<DeferredEvent> Monitor::takeRecovery(const Application& app,
                                                   const Component& comp) {
  auto it = std::find_if(recovering_.begin(), recovering_.end(), [&](const DeferredEvent& e) {
    return e.isFor(app.name(), comp.name());
  });
  if (it == recovering_.end()) return std::nullopt;
  DeferredEvent event = std::move(*it);
  recovering_.erase(it);
  return event;
}

void Monitor::answerArrived(Application& app, Component& comp, bool timedOut) {
  const std::optional<DeferredEvent> event = takeRecovery(app, comp);
  if (!event) {
    store_.answerArrived(app, comp, timedOut, clock_.monoNow());
    return;
  }
  StandartCompStrategy strategy;
  recoveryOutcome(app, comp, *event, app.finishStart(comp, timedOut, strategy));
}

void Monitor::startEnded(Application& app, Component& comp, Application::CompStart outcome) {
  const std::optional<DeferredEvent> event = takeRecovery(app, comp);
  if (!event) {
    store_.startEnded(app, comp, outcome, clock_.monoNow());
    return;
  }
  recoveryOutcome(app, comp, *event, outcome);
}

void Monitor::recoveryOutcome(Application& app, Component& comp, const DeferredEvent& event,
                              Application::CompStart outcome) {
  switch (outcome) {
    case Application::CompStart::kPending:
      // The outcome comes with the end of the bad answer's process.
      recovering_.push_back(event);
      return;
    case Application::CompStart::kAnswered: {
      RecoveryPlan& plan = planFor(app.name(), comp.name());
      plan.answered(clock_.monoNow());
      app.recovered(comp, event.faultTime, plan.abortive(), clock_.wallNow());
      store_.after_app_recovery(app.name());
      // The agent is back: notices that waited for it go now.
      if (agent() && appNameEqual(app.name(), kAgentApp)) agent()->agentBack();
      return;
    }
    case Application::CompStart::kStoppedHimself:
      logError("component \"" + comp.name() + "\" stopped himself");
      break;
    case Application::CompStart::kFailed:
      break;
  }
  retryOrGiveUp(event);
}

void Monitor::retryOrGiveUp(const DeferredEvent& event) {
  RecoveryPlan& plan = planFor(event.appName, event.compName);
  if (plan.tryFailed())
    schedule(event, plan);
  else
    giveUp(event);
}

bool Monitor::suiteEnded() const {
  // What the administrator stopped, the administrator may start again: the
  // monitor stays to take that request.
  return store_.runningCount() == 0 && !store_.startsPending() && !admin_.anyStopped();
}

void Monitor::giveUp(const DeferredEvent& event) {
  failed_ = true;
  AppStore::AppPtr app = store_.find(event.appName);
  Component* comp = app ? app->findComponent(event.compName) : nullptr;
  if (comp) {
    comp->setGivenUp();
    app->cannotRecover(*comp, event.faultTime,
                       planFor(event.appName, event.compName).attempts());
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
                                     return !comp || !(comp->starting() || comp->stopping());
                                   }),
                    recovering_.end());
}

void Monitor::processDeferredEvents() {
  dropStaleRecoveries();
  DeferredEvent event;
  while (isRunning() && events_.popDue(clock_.monoNow(), event)) {
    AppStore::AppPtr app = store_.find(event.appName);
    Component* comp = app ? app->findComponent(event.compName) : nullptr;
    // The first try needs the death by a signal; a later one exists only
    // because such a death was followed by failed restarts.
    if (!comp || !app->isRunning() || (event.tryNo <= 1 && comp->signalledPid() != event.pid)) {
      // Ended by itself: only a clean exit is no failure.
      if (comp && comp->lastFaultCause() != "exit 0") failed_ = true;
      stopFaultyApps();
      continue;
    }
    // Brought back by something else meanwhile (a reload restart, say).
    if (comp->running() || comp->starting() || comp->stopping()) continue;
    planFor(event.appName, event.compName).tryMade(clock_.wallNow());
    if (app->beginRecovery(*comp, clock_.monoNow())) {
      comp->countRestart();
      recovering_.push_back(event);
    } else {
      retryOrGiveUp(event);
    }
  }
}

// ---- Configuration agent: StartApp / StopApp ---------------------------------
// Only handed on: the agent's side does the talking on threads of its own, so
// an agent that does not answer never holds the loop.

void Monitor::appStarted(const Application& app) {
  if (appNameEqual(app.name(), kAgentApp)) {
    if (agent()) agent()->agentBack();
    return;
  }
  logInfo("application \"" + app.name() + "\" started");
  if (agent()) agent()->appStarted(app);
}

void Monitor::appStopped(const Application& app) {
  if (isRunning() && !endCheckPosted_) {
    endCheckPosted_ = true;
    post([this] { endIfNothingRuns(); });
  }
  if (!isRunning() || appNameEqual(app.name(), kAgentApp)) return;
  logInfo("application \"" + app.name() + "\" stoped");
  if (agent()) agent()->appStopped(app);
}

void Monitor::setAgent(std::unique_ptr<AgentPort> agent) { agent_ = std::move(agent); }

AgentPort* Monitor::agent() const { return settings_.hasAgent() ? agent_.get() : nullptr; }

void Monitor::startAgentNotifier() {
  if (isCheckMode() || !agent()) return;
  agent()->configure(agentAddress(), settings_.getAgentResponseTime());
  agent()->beginNotices();
}

// ---- Configuration agent: session and settings ------------------------------

std::string Monitor::agentAddress() const {
  if (!settings_.hasAgent()) return std::string();
  return isCheckAll() ? settings_.getAgentAddress() + ".tmp" : settings_.getAgentAddress();
}

void Monitor::connectToAgent() {
  logDebug("Monitor::connectToAgent()");
  if (agent()) agent()->configure(agentAddress(), settings_.getAgentResponseTime());
}

void Monitor::readConfigFromAgent() {
  if (agent()) agent()->read(settings_, store_.isDefined(kMaildApp));
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
  std::string report;
  reloadWithReport(report);
}

bool Monitor::reloadWithReport(std::string& report) {
  logDebug("Monitor::reload()");
  notifyServiceReloading();
  // Nothing is taken over before everything is read and checked: a refused
  // reload leaves the settings and the store as they were.
  const MonitorConfReader before = settings_;
  ++reloads_;
  AppNameSet full;
  bool ok = true;
  try {
    settings_.reload();
    RunAppStore fresh(store_.isUpdateMode());
    loadStore(fresh);
    computeRunAppSet(full);
    fresh.verify(full);
    prepareMemoryCeilings(fresh);
    applySettings();
    const std::vector<std::string> changes = store_.update(fresh, full);
    report.clear();
    for (const std::string& line : changes) {
      logInfo("reload: " + line);
      report += (report.empty() ? "" : "\n") + line;
    }
    if (changes.empty()) {
      logInfo("reload: no application changed");
      report = "no application changed";
    }
  } catch (const std::exception& e) {
    ok = false;
    full.clear();
    ++reloadErrors_;
    logError(std::string("reload error: ") + e.what());
    report = std::string("reload error: ") + e.what();
    if (auto* file = dynamic_cast<const RunAppStore::FileError*>(&e)) {
      if (!file->detail().empty()) report += ": " + file->detail();
    }
    settings_ = before;
    initLog(settings_.getLogType(), settings_.getLogLevel(), settings_.getIpcLogLevel(),
            settings_.getSyslogFacility(), isCheckMode(), isCheckAll());
  }
  store_.signalAll(SIGHUP);
  // The agent too, refused reload or not: the settings may name another one,
  // and its values (the run list in enterprise mode) are read afresh.
  readAgentAfterReload(full);
  reportRunning();
  notifyServiceReady();
  return ok;
}

void Monitor::answeredReload(const std::shared_ptr<AdminJob>& job) {
  if (!isRunning()) {
    admin_.answer(job, false, "the monitor is stopping");
    return;
  }
  std::set<pid_t> rest = job->pids;
  // The monitor's own pid stands for it (-1 when it was given none).
  const bool full = rest.erase(ownPid_) > 0;
  std::set<pid_t> components;
  for (const AppStore::AppPtr& app : store_.applications())
    for (const Component& comp : app->components())
      if (comp.running() && rest.erase(comp.pid())) components.insert(comp.pid());
  store_.signalPids(components, SIGHUP);
  std::string report;
  const bool ok = !full || reloadWithReport(report);
  hupFilePass(rest);
  job->unreached = rest;
  admin_.answer(job, ok, report);
}

void Monitor::readAgentAfterReload(const AppNameSet& full) {
  logDebug("Monitor::reconnectToAgent()");
  if (!agent_) return;
  if (!agent()) {
    // What a former agent supplied no longer holds once it is gone.
    agent_->configure(std::string(), settings_.getAgentResponseTime());
    ++agentReads_;
    settings_.setAgentValues(MonitorConfReader::AgentValues());
    refreshNotifySettings();
    settingsChanged();
    return;
  }
  // A suite that had no agent so far gets its notices from now on.
  startAgentNotifier();
  agent()->configure(agentAddress(), settings_.getAgentResponseTime());
  // Read on a copy, off the loop: supervision goes on under the settings
  // held, and the loop takes the agent's values over when they come.
  const uint64_t generation = ++agentReads_;
  agent()->readAfresh(settings_, store_.isDefined(kMaildApp),
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
  return HupFiles::parseName(path, component, pid);
}

void Monitor::hupFilePass(std::set<pid_t>& pids) { HupFiles::pass(settings_.getPidFileDir(), pids); }

void Monitor::reload(int, const std::string& name) {
  logInfo("Monitor::reload(): arrived " + name);
  // During the start the reload waits for the main loop; once the monitor
  // stops there is nothing to reload.
  if (!isRunning()) return;
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
  admin_.refuse();
  // What was handed in meanwhile is answered now (the state says the monitor
  // is stopping).
  loop_->io.restart();
  loop_->io.poll();
  store_.stop();
  admin_.close();
}

// ---- Administrators' requests ------------------------------------------------

bool Monitor::runAdminJob(const std::shared_ptr<AdminJob>& job, int seconds) {
  if (!admin_.accept(job)) return true;
  post([this, job] {
    if (job->kind == AdminJob::kReload)
      answeredReload(job);
    else
      admin_.serve(job);
    afterEvent();
  });
  return admin_.await(job, seconds);
}
