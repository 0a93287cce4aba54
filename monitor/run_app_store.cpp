#include "monitor/run_app_store.h"

#include <memory>

#include "frame/log.h"
#include "frame/utils.h"
#include "monitor/application.h"
#include "monitor/start_app_config.h"

RunAppStore::RunAppStore(bool updateMode) : AppStore(updateMode) {}

RunAppStore::~RunAppStore() {}

void RunAppStore::load(const std::string& dir) {
  std::string prefix = dir;
  if (!prefix.empty() && prefix[prefix.size() - 1] != '/') prefix += '/';
  std::vector<std::string> files;
  Utils::listFiles(prefix, ".mmc", files);
  for (const std::string& path : files) {
    logDebug("parse monitor meta config file \"" + path + "\"");
    StartAppConfig conf(path);
    if (!conf.parse(*this)) throw std::runtime_error("error in *.mmc file \"" + path + "\"");
  }
}

void RunAppStore::verify(const AppNameSet& runSet) const {
  std::string message;
  if (!verifyRunApp(runSet, message) || !verifyDepends(message) ||
      !verifyInterdeps(runSet, message))
    throw VerifyError(message);
}

bool RunAppStore::verifyRunApp(const AppNameSet& runSet, std::string& message) const {
  logDebug("RunAppStore::verifyRunApp()");
  for (const std::string& name : runSet) {
    if (!contains(name)) {
      message = "cannot find application \"" + name + "\" in *.mmc files";
      return false;
    }
  }
  return true;
}

bool RunAppStore::verifyDepends(std::string& message) const {
  for (const AppPtr& app : applications()) {
    for (const std::string& dep : app->dependencies()) {
      if (!contains(dep)) {
        message = "application \"" + app->name() + "\", unknown depends \"" + dep + "\"";
        return false;
      }
    }
  }
  return true;
}

bool RunAppStore::verifyInterdeps(const AppNameSet& runSet, std::string& message) const {
  logDebug("RunAppStore::verifyInterdeps() ");
  // Applications proven free of reachable cycles are not walked again: with
  // the path copied per branch, shared dependencies would otherwise be
  // explored once per path, which grows exponentially with diamonds.
  AppNameSet acyclic;
  for (const std::string& name : runSet) {
    logDebug("RunAppStore::verifyInterdeps() check");
    if (hasCycle(name, AppNameSet(), message, acyclic)) return false;
  }
  return true;
}

bool RunAppStore::hasCycle(const std::string& name, const AppNameSet& path,
                           std::string& message) const {
  AppNameSet acyclic;
  return hasCycle(name, path, message, acyclic);
}

bool RunAppStore::hasCycle(const std::string& name, const AppNameSet& path,
                           std::string& message, AppNameSet& acyclic) const {
  logDebug("RunAppStore::hasCycle() " + name);
  AppPtr app = find(name);
  if (!app) return false;
  if (acyclic.count(app->name())) return false;
  for (const std::string& dep : app->dependencies()) {
    if (path.count(dep)) {
      message = "interdependence: ";
      for (const std::string& p : path) message += p + " -> ";
      message += dep;
      return true;
    }
    AppNameSet branch(path);
    branch.insert(dep);
    if (hasCycle(dep, branch, message, acyclic)) return true;
  }
  // Every walk below this application came back clean, so no cycle is
  // reachable from it whatever path leads here.
  acyclic.insert(app->name());
  return false;
}

void RunAppStore::update(const RunAppStore& newStore, const AppNameSet& runSet) {
  logDebug("monitor meta conf:");
  debugDump();

  AppNameSet oldApps;
  AppNameSet newApps;
  AppNameSet immutableApps;
  for (const AppPtr& app : applications())
    (newStore.contains(app->name()) ? immutableApps : oldApps).insert(app->name());
  for (const AppPtr& app : newStore.applications())
    if (!contains(app->name())) newApps.insert(app->name());

  for (const std::string& name : oldApps) logInfo("oldApps: " + name);
  for (const std::string& name : newApps) logInfo("newApps: " + name);
  for (const std::string& name : immutableApps) logInfo("immutableApps: " + name);

  for (const std::string& name : oldApps) remove(name);
  std::vector<std::string> restart;
  for (const std::string& name : immutableApps) {
    AppPtr mine = find(name);
    AppPtr theirs = newStore.find(name);
    if (!mine || !theirs) continue;
    mine->reconfig(*theirs);
    // New components of a running application; a stopped one is brought
    // back by the run set below if it belongs there.
    if (mine->needsStart() && mine->isRunning()) restart.push_back(mine->name());
  }
  for (const std::string& name : newApps) {
    AppPtr theirs = newStore.find(name);
    if (theirs) add(std::make_shared<Application>(*theirs));
  }

  rebuildDependents();
  planStart(restart, retryDelays_, false);
  AppStore::applyRunAppSet(runSet, retryDelays_);
  rebuildDependents();
}

void RunAppStore::start(const AppNameSet& names, const std::string& agentAddress,
                        const std::string& pidFileDir) {
  AppStore::start(names, retryDelays_, agentAddress, pidFileDir);
}

void RunAppStore::applyRunAppSet(const AppNameSet& names) {
  AppStore::applyRunAppSet(names, retryDelays_);
}
