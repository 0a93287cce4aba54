#include "monitor/app_store.h"

#include <signal.h>

#include <algorithm>
#include <functional>
#include <utility>

#include "frame/log.h"
#include "frame/process_state.h"
#include "frame/run_mode.h"
#include "monitor/application.h"
#include "monitor/change_socket_strategy.h"
#include "monitor/check_only_strategy.h"
#include "monitor/check_only_with_alternative_agent_strategy.h"
#include "monitor/component.h"
#include "monitor/first_not_root_gid_strategy.h"
#include "monitor/first_not_root_uid_strategy.h"
#include "monitor/regenerator.h"
#include "monitor/standart_comp_strategy.h"
#include "monitor/update_comp_strategy.h"

namespace {

const char kAgentApp[] = "AGENT";

// Every component runs and no start sequence is under way: a start has
// nothing to do.
bool alreadyUp(const Application& app) {
  return app.isStarted() && app.startState() != Application::StartState::kActive;
}

}  // namespace

AppStore::AppStore(bool updateMode)
    : updateMode_(updateMode), standard_(std::make_unique<StandartCompStrategy>()) {}

AppStore::~AppStore() {
  if (runningCount() == 0) return;
  // Only an exception path gets here with applications running. Their
  // processes must not outlive the store, and they go in dependency order;
  // the regenerator (our owner) may already be half destroyed, so it is not
  // told.
  setRegenerator(nullptr);
  try {
    stop();
  } catch (...) {
  }
}

bool AppStore::add(const AppPtr& app) {
  if (!app || isDefined(app->name())) return false;
  if (regenerator_) app->setRegenerator(regenerator_);
  if (watcher_) app->setWatcher(watcher_);
  apps_.push_back(app);
  byName_[app->name()] = app;
  dependentsStale_ = true;
  return true;
}

bool AppStore::remove(const std::string& name) {
  for (size_t i = 0; i < apps_.size(); ++i) {
    if (!appNameEqual(apps_[i]->name(), name)) continue;
    AppPtr app = apps_[i];
    apps_.erase(apps_.begin() + static_cast<std::ptrdiff_t>(i));
    byName_.erase(app->name());
    dependentsStale_ = true;
    if (app->isRunning() || isStopping(app->name())) {
      leaving_.push_back(app);
      AppNameSet visiting;
      planStop(app, false, false, AppNameSet(), visiting);
      advanceStops();
    }
    return true;
  }
  return false;
}

AppStore::AppPtr AppStore::find(const std::string& name) const {
  auto it = byName_.find(name);
  return it == byName_.end() ? AppPtr() : it->second;
}

void AppStore::setRegenerator(Regenerator* regenerator) {
  regenerator_ = regenerator;
  for (const AppPtr& app : apps_) app->setRegenerator(regenerator);
}

void AppStore::setWatcher(ProcessWatcher* watcher) {
  watcher_ = watcher;
  for (const AppPtr& app : apps_) app->setWatcher(watcher);
}

void AppStore::rebuildDependents() const {
  dependents_.clear();
  for (const AppPtr& app : apps_)
    for (const std::string& dep : app->dependencies()) dependents_.emplace(dep, app->name());
  dependentsStale_ = false;
}

const AppStore::DependsMap& AppStore::dependents() const {
  if (dependentsStale_) rebuildDependents();
  return dependents_;
}

std::vector<std::string> AppStore::dependentsOf(const std::string& name) const {
  std::vector<std::string> names;
  auto range = dependents().equal_range(name);
  for (auto it = range.first; it != range.second; ++it) names.push_back(it->second);
  return names;
}

AppStore::AppList AppStore::startOrder() const {
  AppNameSet names;
  for (const AppPtr& app : apps_) names.insert(app->name());
  AppList order;
  AppNameSet placed;
  AppNameSet visiting;
  std::function<void(const std::string&)> place = [&](const std::string& name) {
    AppPtr app = find(name);
    // A cycle that slipped past verification places its members once each.
    if (!app || placed.count(app->name()) || !visiting.insert(app->name()).second) return;
    for (const std::string& dep : app->dependencies()) place(dep);
    placed.insert(app->name());
    order.push_back(app);
  };
  for (const std::string& name : names) place(name);
  return order;
}

void AppStore::start(const AppNameSet& names, const std::string& agentAddress,
                     const std::string& pidFileDir) {
  logDebug("AppStop::start()");
  rebuildDependents();
  if (updateMode_)
    startUpdateMode();
  else if (isCheckAll())
    startCheckAllMode(names, agentAddress, pidFileDir);
  else
    startStandartMode(names);
}

void AppStore::startStandartMode(const AppNameSet& names) {
  logDebug("AppStop::startStandartMode()");
  StandartCompStrategy strategy;
  for (const std::string& name : names) startApp(name, strategy);
}

void AppStore::startUpdateMode() {
  logDebug("AppStop::startUpdateMode()");
  UpdateCompStrategy strategy;
  startApp(kAgentApp, strategy);
}

void AppStore::startCheckAllMode(const AppNameSet& names, const std::string& agentAddress,
                                 const std::string& pidFileDir) {
  logDebug("AppStop::startCheckAllMode()");
  if (agentAddress.empty()) {
    // Without an agent there is none to check nor to stand in for.
    CheckOnlyStrategy checkOnly;
    for (const std::string& name : names) startApp(name, checkOnly);
    return;
  }
  const std::string tmpAddress = agentAddress + ".tmp";
  const std::string tmpPidFile = pidFileDir + "norvak-agent.tmp.pid";
  CheckOnlyStrategy checkOnly;
  ChangeSocketStrategy changeSocket(tmpAddress, tmpPidFile);
  CheckOnlyWithAlternativeAgentStrategy withTmpAgent(changeSocket.socket());

  // The agent checks its own options first; then a temporary agent on a side
  // address serves the checks of everybody else, so that a live agent on the
  // usual address is never disturbed.
  startApp(kAgentApp, checkOnly);
  stop();
  startApp(kAgentApp, changeSocket);
  for (const std::string& name : names)
    if (!appNameEqual(name, kAgentApp)) startApp(name, withTmpAgent);
}

bool AppStore::startApp(const std::string& name, CompStrategy& strategy) {
  if (!isProcessRunning()) throw StartError();
  AppPtr app = find(name);
  if (!app) throw BadAppName(name);
  planStart({name}, false, &strategy);
  runStartsToEnd();
  return app->isStarted();
}

void AppStore::planStart(const std::vector<std::string>& names, bool announce,
                         CompStrategy* strategy) {
  AppNameSet visiting;
  for (const std::string& name : names) enqueue(name, announce, strategy, visiting);
  advanceStarts(clock_->monoNow());
}

void AppStore::enqueue(const std::string& name, bool announce, CompStrategy* strategy,
                       AppNameSet& visiting) {
  logDebug("AppStore::startApp( " + name + " )");
  AppPtr app = find(name);
  if (!app) throw BadAppName(name);
  if (queued_.count(app->name())) return;
  // A dependency cycle that slipped past verification must not recurse
  // until the stack runs out; its members then wait for nothing.
  if (!visiting.insert(app->name()).second) {
    logError("application \"" + name + "\" cannot start: interdependence");
    return;
  }
  for (const std::string& dep : app->dependencies()) enqueue(dep, announce, strategy, visiting);
  visiting.erase(app->name());
  if (alreadyUp(*app) && !isStopping(app->name())) return;
  queued_.insert(app->name());
  plan_.push_back(PlannedStart{app->name(), announce, strategy, false, stopSeq_});
}

void AppStore::advanceStarts(Clock::MonoTime now) {
  while (!plan_.empty()) {
    if (!isProcessRunning()) {
      plan_.clear();
      queued_.clear();
      return;
    }
    PlannedStart& item = plan_.front();
    AppPtr app = find(item.name);  // a reload may have removed it meanwhile
    // Its own stop, and the stops asked for before it, are over first.
    if (app && !item.begun && (stopsBefore(item.afterStop) || isStopping(app->name()))) return;
    bool done = !app;
    if (app && !item.begun) {
      std::string missing;
      for (const std::string& dep : app->dependencies()) {
        AppPtr d = find(dep);
        if (!d || !d->isStarted()) {
          missing = dep;
          break;
        }
      }
      if (!missing.empty()) {
        logError("application \"" + app->name() +
                 "\" cannot start, because of depends application \"" + missing +
                 "\" not started");
        AppPtr dep = find(missing);
        std::string cause = "dependency \"" + missing + "\" not running";
        if (dep && !dep->startFailure().empty())
          cause += " (start of \"" + dep->name() + "\" failed: " + dep->startFailure() + ")";
        app->setStartFailure(cause);
        done = true;
      } else if (alreadyUp(*app)) {
        done = true;
      } else {
        if (item.announce) logInfo("application \"" + app->name() + "\" must be started");
        item.begun = true;
        app->beginStart(item.strategy ? *item.strategy : *standard_);
      }
    }
    if (!done) {
      Application::StartState state = app->advanceStart(now);
      if (state == Application::StartState::kActive) return;
      if (state == Application::StartState::kIdle)
        app->noteStartFailure("its start was cut short by a stop");
      if (state == Application::StartState::kFailed && !item.announce)
        logError("application \"" + app->name() + "\" cannot start");
    }
    queued_.erase(item.name);
    plan_.pop_front();
  }
}

void AppStore::answerArrived(Application& app, Component& comp, bool timedOut,
                             Clock::MonoTime now) {
  app.answerArrived(comp, timedOut, now);
  advanceStarts(now);
}

void AppStore::startEnded(Application& app, Component& comp, Application::CompStart outcome,
                          Clock::MonoTime now) {
  app.startOutcome(comp, outcome, now);
  advanceStarts(now);
}

void AppStore::runStartsToEnd() {
  for (;;) {
    advanceStarts(clock_->monoNow());
    if (plan_.empty()) return;
    AppPtr app = find(plan_.front().name);
    app->awaitStep(*clock_);
  }
}

void AppStore::stop() {
  logDebug("AppStore::stop()");
  plan_.clear();
  queued_.clear();
  // The stops under way first, each waiting for its processes now.
  std::vector<AppPtr> under;
  for (const auto& entry : stops_) under.push_back(entry.second.app);
  for (const AppPtr& app : under) app->stop();
  const AppList apps = apps_;
  for (const AppPtr& app : apps) {
    AppNameSet inProgress;
    stopAppAndIDependsGuarded(*app, inProgress);
    app->stop();
  }
}

void AppStore::stopAll() {
  plan_.clear();
  queued_.clear();
  AppNameSet visiting;
  const AppList apps = apps_;
  for (const AppPtr& app : apps) planStop(app, true, false, AppNameSet(), visiting);
  advanceStops();
}

void AppStore::stopAppAndIDepends(Application& app) {
  AppPtr self = find(app.name());
  if (!self) return;
  AppNameSet visiting;
  planStop(self, true, false, AppNameSet(), visiting);
  advanceStops();
}

void AppStore::stopAppAndIDependsGuarded(Application& app, AppNameSet& inProgress) {
  if (!app.isRunning()) return;
  logDebug("AppStop::stopAppAndIDepends() name=" + app.name());
  if (!inProgress.insert(app.name()).second) return;
  for (const std::string& name : dependentsOf(app.name())) {
    AppPtr dependent = find(name);
    if (dependent) stopAppAndIDependsGuarded(*dependent, inProgress);
  }
  if (app.isRunning()) app.stop();
}

void AppStore::planStop(const AppPtr& app, bool withDependents, bool cascade,
                        const AppNameSet& keep, AppNameSet& visiting) {
  if (!app || !app->isRunning() || stops_.count(app->name())) return;
  if (withDependents) logDebug("AppStop::stopAppAndIDepends() name=" + app->name());
  if (!visiting.insert(app->name()).second) return;
  PlannedStop& entry = stops_[app->name()];
  entry.app = app;
  entry.seq = ++stopSeq_;
  entry.cascade = cascade;
  entry.keep = keep;
  // It waits for its dependents planned before it; one planned later makes
  // it wait when that one is planned (below).
  for (const std::string& name : dependentsOf(app->name())) {
    if (appNameEqual(name, app->name())) continue;
    if (stops_.count(name)) ++entry.waitingFor;
  }
  for (const std::string& dep : app->dependencies()) {
    auto it = stops_.find(dep);
    if (it != stops_.end() && it->second.app != app && !it->second.begun) ++it->second.waitingFor;
  }
  if (withDependents) {
    for (const std::string& name : dependentsOf(app->name()))
      planStop(find(name), true, false, AppNameSet(), visiting);
  }
  if (stops_[app->name()].waitingFor == 0) readyStops_.push_back(app->name());
}

bool AppStore::stopsBefore(uint64_t seq) const {
  for (const auto& entry : stops_)
    if (entry.second.seq <= seq) return true;
  return false;
}

void AppStore::advanceStops() {
  if (advancingStops_) return;
  advancingStops_ = true;
  while (!readyStops_.empty() || !endedStops_.empty()) {
    if (!endedStops_.empty()) {
      const std::string name = endedStops_.front();
      endedStops_.pop_front();
      finishStop(name);
      continue;
    }
    const std::string name = readyStops_.front();
    readyStops_.pop_front();
    auto it = stops_.find(name);
    if (it == stops_.end() || it->second.begun || it->second.waitingFor > 0) continue;
    it->second.begun = true;
    AppPtr app = it->second.app;
    app->beginStop([this, name] {
      endedStops_.push_back(name);
      advanceStops();
    });
  }
  advancingStops_ = false;
}

void AppStore::finishStop(const std::string& name) {
  auto it = stops_.find(name);
  if (it == stops_.end()) return;
  const PlannedStop done = std::move(it->second);
  stops_.erase(it);
  for (const std::string& dep : done.app->dependencies()) {
    auto d = stops_.find(dep);
    if (d == stops_.end() || d->second.begun || d->second.waitingFor == 0) continue;
    if (--d->second.waitingFor == 0) readyStops_.push_back(d->first);
  }
  leaving_.erase(std::remove(leaving_.begin(), leaving_.end(), done.app), leaving_.end());
  if (done.cascade) cascadeStop(*done.app, done.keep);
}

bool AppStore::someRunningAppDependsOn(const Application& dep) const {
  for (const AppPtr& app : apps_)
    if (app->isRunning() && app->dependsOn(dep.name())) return true;
  return false;
}

void AppStore::stopAppAndDepends(Application& app, const AppNameSet& keep, bool force) {
  if (!app.isRunning()) return;
  logDebug("AppStop::stopAppAndDepends() name=" + app.name());
  if (!force && keep.count(app.name())) return;
  AppNameSet visiting;
  planStop(find(app.name()), false, true, keep, visiting);
  advanceStops();
}

void AppStore::cascadeStop(Application& app, const AppNameSet& keep) {
  const AppList apps = apps_;
  for (const AppPtr& dep : apps) {
    if (!app.dependsOn(dep->name()) || keep.count(dep->name())) continue;
    // A dependency that is not running has nothing to stop; announcing it
    // would only mislead whoever reads the log.
    if (!dep->isRunning() || someRunningAppDependsOn(*dep)) continue;
    logInfo("application " + dep->name() + " going to stop, " +
            "because no one application depend on it now");
    stopAppAndDepends(*dep, keep, false);
  }
}

void AppStore::stopFaultyApps(const AppNameSet& runSet) {
  const AppList apps = apps_;
  for (const AppPtr& app : apps) {
    if (!app->isRunning() || !app->hasFailedComponent()) continue;
    logAlert("one component from application " + app->name() +
             " is fault. The application will be stoped");
    stopAppAndDepends(*app, runSet, true);
  }
}

void AppStore::addClosure(const std::string& name, AppNameSet& closure) const {
  AppPtr app = find(name);
  if (!app || !closure.insert(app->name()).second) return;
  for (const std::string& dep : app->dependencies()) addClosure(dep, closure);
}

void AppStore::applyRunAppSet(const AppNameSet& names) {
  AppNameSet closure;
  for (const std::string& name : names) addClosure(name, closure);
  // Definitions may have just changed; the cascades below follow the index.
  rebuildDependents();

  const AppList apps = apps_;
  for (const AppPtr& app : apps) {
    if (closure.count(app->name()) || !app->isRunning()) continue;
    logInfo("application \"" + app->name() + "\" must be stoped");
    // Whatever depends on it is outside the closure as well and goes first.
    stopAppAndIDepends(*app);
  }

  // Dependencies first, even when the load order puts them later; an
  // application whose dependency fails to start is left alone.
  std::vector<std::string> wanted;
  for (const AppPtr& app : apps)
    if (closure.count(app->name()) && !app->isRunning()) wanted.push_back(app->name());
  planStart(wanted, true);
}

int AppStore::runningCount() const {
  int count = 0;
  for (const AppPtr& app : apps_)
    if (app->isRunning()) ++count;
  return count;
}

AppNameSet AppStore::startedNames() const {
  AppNameSet names;
  for (const AppPtr& app : apps_)
    if (app->isStarted()) names.insert(app->name());
  return names;
}

bool AppStore::componentFault(Application& app, Component& comp, time_t faultTime) {
  return app.componentFault(comp, faultTime, dependentsOf(app.name()));
}

void AppStore::after_app_recovery(const std::string& name) {
  if (!appNameEqual(name, kAgentApp)) return;
  AppNameSet done;
  for (const std::string& depName : dependentsOf(name)) {
    if (!done.insert(depName).second) continue;
    // The index may lag behind a reload that removed the dependent.
    AppPtr dep = find(depName);
    if (!dep || !dep->isRunning()) continue;
    logInfo("Sending SIGHUP to application " + dep->name() + " due to " + name + " recovered");
    dep->sendSignal(SIGHUP);
  }
}

void AppStore::signalAll(int sig) {
  for (const AppPtr& app : apps_) app->sendSignal(sig);
}

void AppStore::signalPids(const std::set<pid_t>& pids, int sig) {
  for (const AppPtr& app : apps_) app->signalPids(pids, sig);
}

bool AppStore::checkComponents(const AppNameSet& runSet) const {
  AppNameSet closure;
  for (const std::string& name : runSet) addClosure(name, closure);
  bool fine = true;
  for (const AppPtr& app : apps_) {
    if (!closure.count(app->name())) continue;
    for (const Component& comp : app->components()) {
      for (const std::string& problem : comp.startProblems(app->path())) {
        logError("application \"" + app->name() + "\", component \"" + comp.name() + "\": " +
                 problem);
        fine = false;
      }
    }
  }
  return fine;
}

uid_t AppStore::firstNotRootUid() const {
  FirstNotRootUIDStrategy search;
  for (const AppPtr& app : apps_)
    for (const Component& comp : app->components())
      if (search.check(comp)) return search.uid();
  throw std::runtime_error("no component runs as a user other than root");
}

gid_t AppStore::firstNotRootGid() const {
  FirstNotRootGIDStrategy search;
  for (const AppPtr& app : apps_)
    for (const Component& comp : app->components())
      if (search.check(comp)) return search.gid();
  throw std::runtime_error("no component runs in a group other than root");
}

void AppStore::debugDump() const {
  if (!isDebugLog()) return;
  for (const AppPtr& app : apps_) app->debugDump();
}

std::string AppStore::statusDump(bool withFdPid) const {
  std::string out = "<apps>";
  for (const AppPtr& app : apps_) app->statusDump(withFdPid, out);
  out += "</apps>";
  return out;
}
