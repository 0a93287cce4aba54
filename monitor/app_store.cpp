#include "monitor/app_store.h"

#include <signal.h>

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

bool admitted(const AppNameSet& filter, const std::string& name) {
  return filter.empty() || filter.count(name) != 0;
}

}  // namespace

AppStore::AppStore(bool updateMode) : updateMode_(updateMode) {}

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
  apps_.push_back(app);
  dependentsStale_ = true;
  return true;
}

bool AppStore::remove(const std::string& name) {
  for (size_t i = 0; i < apps_.size(); ++i) {
    if (!appNameEqual(apps_[i]->name(), name)) continue;
    AppPtr app = apps_[i];
    app->stop();
    apps_.erase(apps_.begin() + static_cast<std::ptrdiff_t>(i));
    dependentsStale_ = true;
    clearIndex();
    return true;
  }
  return false;
}

AppStore::AppPtr AppStore::find(const std::string& name) const {
  for (const AppPtr& app : apps_)
    if (appNameEqual(app->name(), name)) return app;
  return AppPtr();
}

void AppStore::setRegenerator(Regenerator* regenerator) {
  regenerator_ = regenerator;
  for (const AppPtr& app : apps_) app->setRegenerator(regenerator);
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

void AppStore::start(const AppNameSet& names, const std::vector<int>& delays,
                     const std::string& agentAddress, const std::string& pidFileDir) {
  logDebug("AppStop::start()");
  rebuildDependents();
  if (updateMode_)
    startUpdateMode(delays);
  else if (isCheckAll())
    startCheckAllMode(names, delays, agentAddress, pidFileDir);
  else
    startStandartMode(names, delays);
}

void AppStore::startStandartMode(const AppNameSet& names, const std::vector<int>& delays) {
  logDebug("AppStop::startStandartMode()");
  StandartCompStrategy strategy;
  for (const std::string& name : names) startApp(name, delays, strategy);
}

void AppStore::startUpdateMode(const std::vector<int>& delays) {
  logDebug("AppStop::startUpdateMode()");
  UpdateCompStrategy strategy;
  startApp(kAgentApp, delays, strategy);
}

void AppStore::startCheckAllMode(const AppNameSet& names, const std::vector<int>& delays,
                                 const std::string& agentAddress,
                                 const std::string& pidFileDir) {
  logDebug("AppStop::startCheckAllMode()");
  const std::string tmpAddress = agentAddress + ".tmp";
  const std::string tmpPidFile = pidFileDir + "norvak-agent.tmp.pid";
  CheckOnlyStrategy checkOnly;
  ChangeSocketStrategy changeSocket(tmpAddress, tmpPidFile);
  CheckOnlyWithAlternativeAgentStrategy withTmpAgent(changeSocket.socket());

  // The agent checks its own options first; then a temporary agent on a side
  // address serves the checks of everybody else, so that a live agent on the
  // usual address is never disturbed.
  startApp(kAgentApp, delays, checkOnly);
  stop();
  startApp(kAgentApp, delays, changeSocket);
  for (const std::string& name : names)
    if (!appNameEqual(name, kAgentApp)) startApp(name, delays, withTmpAgent);
}

bool AppStore::startApp(const std::string& name, const std::vector<int>& delays,
                        CompStrategy& strategy) {
  AppNameSet inProgress;
  return startAppGuarded(name, delays, strategy, inProgress);
}

bool AppStore::startAppGuarded(const std::string& name, const std::vector<int>& delays,
                               CompStrategy& strategy, AppNameSet& inProgress) {
  logDebug("AppStore::startApp( " + name + " )");
  if (!isProcessRunning()) throw StartError();
  AppPtr app = find(name);
  if (!app) throw BadAppName(name);
  // A dependency cycle that slipped past verification (definitions taken
  // over at reload are not checked against themselves) must not recurse
  // until the stack runs out.
  if (!inProgress.insert(app->name()).second) {
    logError("application \"" + name + "\" cannot start: interdependence");
    return false;
  }
  for (const std::string& dep : app->dependencies()) {
    if (!startAppGuarded(dep, delays, strategy, inProgress)) {
      logError("application \"" + name + "\" cannot start, because of depends application \"" +
               dep + "\" not started");
      inProgress.erase(app->name());
      return false;
    }
  }
  inProgress.erase(app->name());
  if (app->isStarted()) return true;
  if (app->start(delays, strategy)) return true;
  logError("application \"" + name + "\" cannot start");
  return false;
}

void AppStore::stop() {
  logDebug("AppStore::stop()");
  const AppList apps = apps_;
  for (const AppPtr& app : apps) {
    stopAppAndIDepends(*app);
    app->stop();
  }
}

void AppStore::stopAppAndIDepends(Application& app) {
  AppNameSet inProgress;
  stopAppAndIDependsGuarded(app, inProgress);
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

bool AppStore::someRunningAppDependsOn(const Application& dep) const {
  for (const AppPtr& app : apps_)
    if (app->isRunning() && app->dependsOn(dep.name())) return true;
  return false;
}

void AppStore::stopAppAndDepends(Application& app, const AppNameSet& keep, bool force) {
  if (!app.isRunning()) return;
  logDebug("AppStop::stopAppAndDepends() name=" + app.name());
  if (!force && keep.count(app.name())) return;
  if (app.isRunning()) app.stop();
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

void AppStore::applyRunAppSet(const AppNameSet& names, const std::vector<int>& delays) {
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
  // application whose dependency failed to start in this pass is left alone.
  struct InLine {
    AppStore& store;
    const AppNameSet& closure;
    const std::vector<int>& delays;
    StandartCompStrategy strategy;
    AppNameSet visiting;
    AppNameSet failed;

    bool start(Application& app) {
      if (!visiting.insert(app.name()).second) return false;
      for (const std::string& depName : app.dependencies()) {
        AppPtr dep = store.find(depName);
        if (!dep || !closure.count(dep->name())) continue;
        if (!dep->isRunning() && isProcessRunning()) start(*dep);
        if (!dep->isRunning() || failed.count(dep->name())) {
          logError("application \"" + app.name() +
                   "\" cannot start, because of depends application \"" + depName +
                   "\" not started");
          failed.insert(app.name());
          return false;
        }
      }
      if (app.isRunning()) return true;
      if (!isProcessRunning()) return false;
      logInfo("application \"" + app.name() + "\" must be started");
      if (app.start(delays, strategy)) return true;
      failed.insert(app.name());
      return false;
    }
  } inLine{*this, closure, delays, StandartCompStrategy(), AppNameSet(), AppNameSet()};

  for (const AppPtr& app : apps) {
    if (!isProcessRunning()) break;
    if (closure.count(app->name()) && !app->isRunning() && !inLine.failed.count(app->name()))
      inLine.start(*app);
  }
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

void AppStore::appendFds(std::vector<int>& fds) const {
  for (const AppPtr& app : apps_) app->appendFds(fds);
}

void AppStore::clearIndex() {
  fdIndex_.clear();
  pidIndex_.clear();
}

void AppStore::collectPollFds(std::vector<pollfd>& fds) {
  clearIndex();
  std::vector<int> own;
  for (const AppPtr& app : apps_) {
    own.clear();
    app->appendFds(own);
    for (int fd : own) {
      if (fd <= 0) continue;
      pollfd p;
      p.fd = fd;
      p.events = POLLIN;
      p.revents = 0;
      fds.push_back(p);
      fdIndex_[fd] = app;
    }
    for (const Component& comp : app->components())
      if (comp.running() && comp.pid() > 0) pidIndex_[comp.pid()] = app;
  }
}

Application* AppStore::indexedOwnerOfFd(int fd) const {
  auto it = fdIndex_.find(fd);
  return it == fdIndex_.end() ? nullptr : it->second.get();
}

Application* AppStore::indexedOwnerOfPid(pid_t pid) const {
  auto it = pidIndex_.find(pid);
  return it == pidIndex_.end() ? nullptr : it->second.get();
}

pid_t AppStore::pidByFd(int fd) const {
  if (Application* hint = indexedOwnerOfFd(fd)) {
    pid_t pid = hint->pidByFd(fd);
    if (pid >= 0) return hint->isRunning() ? pid : 0;
  }
  for (const AppPtr& app : apps_) {
    pid_t pid = app->pidByFd(fd);
    if (pid >= 0) return app->isRunning() ? pid : 0;
  }
  return -1;
}

bool AppStore::findByFd(int fd, FdOwner& owner) const {
  auto fill = [&](const Application& app) {
    for (const Component& comp : app.components()) {
      if (comp.fd() != fd) continue;
      owner.appName = app.name();
      owner.compName = comp.name();
      owner.pid = comp.pid();
      owner.appRunning = app.isRunning();
      return true;
    }
    return false;
  };
  if (fd < 0) return false;
  if (Application* hint = indexedOwnerOfFd(fd))
    if (fill(*hint)) return true;
  for (const AppPtr& app : apps_)
    if (fill(*app)) return true;
  return false;
}

void AppStore::componentFault(pid_t pid, time_t faultTime) {
  Application* hint = indexedOwnerOfPid(pid);
  if (hint && hint->componentFault(pid, faultTime, dependentsOf(hint->name()))) return;
  const AppList apps = apps_;
  for (const AppPtr& app : apps) {
    if (app.get() == hint) continue;
    if (app->componentFault(pid, faultTime, dependentsOf(app->name()))) return;
  }
}

void AppStore::cannotRecover(pid_t pid, time_t faultTime) {
  for (const AppPtr& app : apps_)
    if (app->cannotRecover(pid, faultTime)) return;
}

bool AppStore::holdsComponent(pid_t pid) const {
  for (const AppPtr& app : apps_)
    if (app->hasSignalledPid(pid)) return true;
  return false;
}

bool AppStore::recover(pid_t pid, time_t faultTime, int tryNo, const AppNameSet& filter) {
  const AppList apps = apps_;
  for (const AppPtr& app : apps) {
    if (!admitted(filter, app->name())) continue;
    if (app->recovery(pid, faultTime, tryNo)) {
      after_app_recovery(app->name());
      return true;
    }
  }
  return false;
}

bool AppStore::recoverComponent(const std::string& appName, const std::string& compName,
                                time_t faultTime, int tryNo, const AppNameSet& filter) {
  AppPtr app = find(appName);
  if (!app || !admitted(filter, app->name())) return false;
  for (Component& comp : app->components()) {
    if (comp.name() != compName) continue;
    // Brought back by something else meanwhile (a reload restart, say).
    if (comp.running()) return true;
    StandartCompStrategy strategy;
    bool started = false;
    try {
      started = app->startComp(comp, faultTime, tryNo, strategy);
    } catch (const Component::StopedHimself&) {
      logError("component \"" + comp.name() + "\" stopped himself");
    }
    if (!started) return false;
    after_app_recovery(app->name());
    return true;
  }
  return false;
}

bool AppStore::cannotRecoverComponent(const std::string& appName, const std::string& compName,
                                      time_t faultTime) {
  AppPtr app = find(appName);
  if (!app) return false;
  for (Component& comp : app->components()) {
    if (comp.name() != compName) continue;
    comp.cannotRecover(faultTime, app->fullName(), app->path());
    return true;
  }
  return false;
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
