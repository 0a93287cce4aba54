#include "monitor/application.h"

#include <cstdio>

#include "frame/log.h"
#include "frame/process_state.h"
#include "monitor/comp_strategy.h"
#include "monitor/regenerator.h"
#include "monitor/standart_comp_strategy.h"

Application::Application(const std::string& name) : name_(name) {}

Application::Application(const Application& other)
    : name_(other.name_),
      fullName_(other.fullName_),
      path_(other.path_),
      dependencies_(other.dependencies_),
      components_(other.components_),
      regenerator_(other.regenerator_) {}

Application::~Application() {}

bool Application::isStarted() const {
  for (const Component& c : components_)
    if (!c.running()) return false;
  return true;
}

bool Application::dependsOn(const std::string& name) const {
  return dependencies_.count(name) != 0;
}

bool Application::hasFailedComponent() const { return !isStarted(); }

bool Application::hasSignalledPid(pid_t pid) const {
  for (const Component& c : components_)
    if (c.signalledPid() == pid) return true;
  return false;
}

std::string Application::label(const Component& comp) const {
  return "component \"" + comp.name() + "\" from application \"" + name_ + "\"";
}

bool Application::start(const std::vector<int>& delays, CompStrategy& strategy) {
  logDebug("Application::start() name=" + name_);
  running_ = true;
  size_t i = 0;
  bool ok = true;
  for (; i < components_.size(); ++i) {
    Component& comp = components_[i];
    if (getProcessState() != STARTED) {
      ok = false;
      break;
    }
    // A component still running from an earlier start (its application
    // kept running while another one waited for recovery) is kept as it is.
    if (comp.running()) continue;
    try {
      bool started = startComp(comp, 0, 0, strategy);
      for (size_t d = 0; !started && d < delays.size(); ++d) {
        logDebug("sleep " + std::to_string(delays[d]));
        if (!sleepUnlessStopped(delays[d])) break;
        started = startComp(comp, 0, 0, strategy);
      }
      if (!started || getProcessState() != STARTED) {
        ok = false;
        break;
      }
    } catch (const Component::StopedHimself&) {
      logError("component \"" + comp.name() + "\" stopped himself");
      ok = false;
      break;
    }
  }
  if (!ok) {
    stopFrom(i);
    return false;
  }
  if (regenerator_) regenerator_->appStarted(*this);
  logInfo("application \"" + name_ + "\" has been started");
  return true;
}

void Application::stopFrom(size_t failed) {
  for (size_t j = failed + 1; j-- > 0;) {
    try {
      components_[j].stop(true);
    } catch (...) {
    }
  }
}

bool Application::startComp(Component& comp, time_t faultTime, int tryNo,
                            CompStrategy& strategy) {
  logDebug("Application::startComp( " + comp.name() + " )");
  try {
    if (regenerator_) regenerator_->regenerate(dependencies_);
    comp.createInformer();
    // Through the strategy: a check-all run must get the check dialogue,
    // not the one-byte answer.
    strategy.start(comp, path_, faultTime, tryNo, fullName_);
  } catch (const Component::StopedHimself&) {
    throw;
  } catch (const std::runtime_error& e) {
    logError("cannot start " + label(comp) + ": " + e.what());
    return false;
  }
  logInfo(label(comp) + " has been started " + strategy.description());
  return true;
}

void Application::stop() {
  logDebug("Application::stop() name=" + name_);
  if (!running_) return;
  running_ = false;
  for (size_t j = components_.size(); j-- > 0;) {
    try {
      components_[j].stop(false);
    } catch (const Component::ComponentError& e) {
      logError(e.what());
    }
  }
  if (regenerator_) regenerator_->appStopped(*this);
  running_ = false;
  logInfo("application \"" + name_ + "\" has been stopped");
}

bool Application::recovery(pid_t pid, time_t faultTime, int tryNo) {
  logDebug("Application::recovery() name=" + name_);
  logDebug("Application::recovery() pid=" + std::to_string(pid));
  bool recovered = false;
  for (Component& comp : components_) {
    if (comp.pid() != pid) continue;
    StandartCompStrategy strategy;
    try {
      if (startComp(comp, faultTime, tryNo, strategy)) recovered = true;
    } catch (const Component::StopedHimself&) {
      logError("component \"" + comp.name() + "\" stopped himself");
    }
  }
  return recovered;
}

bool Application::componentFault(pid_t pid, time_t faultTime,
                                 const std::vector<std::string>& dependents) {
  if (!running_) return false;
  for (Component& comp : components_) {
    if (comp.pid() != pid) continue;
    comp.fault(pid, faultTime, fullName_, path_, dependents);
    return true;
  }
  return false;
}

bool Application::cannotRecover(pid_t pid, time_t faultTime) {
  for (Component& comp : components_) {
    if (comp.pid() != pid) continue;
    comp.cannotRecover(faultTime, fullName_, path_);
    return true;
  }
  return false;
}

pid_t Application::pidByFd(int fd) const {
  for (const Component& comp : components_)
    if (comp.fd() == fd) return comp.pid();
  return -1;
}

void Application::appendFds(std::vector<int>& fds) const {
  for (const Component& comp : components_) comp.collectFd(fds);
}

void Application::sendSignal(int sig) {
  for (Component& comp : components_) comp.sendSignal(sig);
}

void Application::signalPids(std::set<pid_t> pids, int sig) {
  for (Component& comp : components_) comp.signalIfListed(pids, sig);
}

bool Application::reconfig(const Application& newDef, const std::vector<int>& delays) {
  logDebug("Application::reconfig() " + name_);
  if (fullName_ != newDef.fullName_) {
    logInfo("application \"" + name_ + "\" change full name \"" + fullName_ + "\" to \"" +
            newDef.fullName_ + "\"");
    fullName_ = newDef.fullName_;
  }
  reconfigDeps(newDef.dependencies_);
  if (path_ != newDef.path_) {
    logInfo("application \"" + name_ + "\" change path \"" + path_ + "\" to \"" + newDef.path_ +
            "\". All components should be restarted");
    path_ = newDef.path_;
    // Only a running application comes back up; a stopped one just takes
    // the new definition and stays stopped.
    const bool wasRunning = running_;
    stop();
    components_.clear();
    for (const Component& c : newDef.components_) components_.push_back(c);
    if (wasRunning) {
      StandartCompStrategy strategy;
      start(delays, strategy);
    }
    return true;
  }
  return reconfigComponents(newDef);
}

void Application::reconfigDeps(const AppNameSet& newDeps) {
  logDebug("Application::reconfigDeps() " + name_);
  for (const std::string& d : dependencies_)
    if (!newDeps.count(d))
      logInfo("application \"" + name_ + "\" now not depends on \"" + d + "\"");
  for (const std::string& d : newDeps)
    if (!dependencies_.count(d)) logInfo("application \"" + name_ + "\" now depends on \"" + d + "\"");
  dependencies_ = newDeps;
}

bool Application::reconfigComponents(const Application& newDef) {
  logDebug("Application::reconfigComponents() " + name_);
  bool changed = false;
  for (size_t i = 0; i < components_.size();) {
    Component& comp = components_[i];
    const Component* def = nullptr;
    for (const Component& c : newDef.components_)
      if (c.name() == comp.name()) {
        def = &c;
        break;
      }
    if (def) {
      try {
        if (comp.reconfigure(*def)) {
          changed = true;
          logInfo("component \"" + comp.name() + "\" from \"" + name_ +
                  "\" has been reconfigured");
        }
      } catch (const std::exception& e) {
        logError("error reload component \"" + comp.name() + "\": " + e.what());
      }
      ++i;
      continue;
    }
    logInfo(label(comp) + " must be deleted");
    try {
      comp.stop(false);
    } catch (const std::exception& e) {
      logError(e.what());
    }
    components_.erase(components_.begin() + static_cast<std::ptrdiff_t>(i));
    changed = true;
  }
  for (const Component& c : newDef.components_) {
    bool have = false;
    for (const Component& mine : components_)
      if (mine.name() == c.name()) {
        have = true;
        break;
      }
    if (have) continue;
    logInfo("new component \"" + c.name() + "\"");
    components_.push_back(c);
    changed = true;
    if (!running_) continue;  // it starts with its application
    StandartCompStrategy strategy;
    try {
      startComp(components_.back(), 0, 0, strategy);
    } catch (const Component::StopedHimself&) {
      logError("component \"" + c.name() + "\" stopped himself");
    }
  }
  return changed;
}

void Application::debugDump() const {
  if (!isDebugLog()) return;
  const std::string indent1(4, ' ');
  const std::string indent2(8, ' ');
  logDebug(indent1 + "Application \"" + name_ + "\"");
  logDebug(indent2 + "FullName \"" + fullName_ + "\"");
  logDebug(indent2 + "Path \"" + path_ + "\"");
  std::string deps = indent2 + "Depends ";
  for (const std::string& d : dependencies_) deps += "\"" + d + "\" ";
  logDebug(deps);
  logDebug(indent2 + "Components");
  for (const Component& c : components_) c.describe();
  logDebug(indent2 + "EndComponents");
  logDebug(indent1 + "EndApplication");
}

void Application::statusDump(bool withFdPid, std::string& out) const {
  out += "<app name=\"" + name_ + "\"\nfullName=\"" + fullName_ + "\"\npath=\"" + path_ +
         "\"\ndeps=\"";
  bool first = true;
  for (const std::string& d : dependencies_) {
    if (!first) out += ",";
    out += d;
    first = false;
  }
  out += "\"><comps>";
  for (const Component& c : components_) c.statusDump(withFdPid, out);
  out += "</comps></app>";
}
