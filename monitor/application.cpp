#include "monitor/application.h"

#include <algorithm>

#include "frame/log.h"
#include "frame/process_state.h"
#include "monitor/comp_strategy.h"
#include "monitor/process_watcher.h"
#include "monitor/regenerator.h"
#include "monitor/standart_comp_strategy.h"

Application::Application(const std::string& name) : name_(name) {}

Application::Application(const Application& other)
    : name_(other.name_),
      fullName_(other.fullName_),
      path_(other.path_),
      dependencies_(other.dependencies_),
      components_(other.components_),
      regenerator_(other.regenerator_),
      watcher_(other.watcher_) {}

Application::~Application() {}

bool Application::isStarted() const {
  for (const Component& c : components_)
    if (!c.running()) return false;
  return true;
}

bool Application::dependsOn(const std::string& name) const {
  return dependencies_.count(name) != 0;
}

bool Application::hasFailedComponent() const {
  return startState_ != StartState::kActive && !isStarted();
}

Component* Application::findComponent(const std::string& name) {
  for (Component& c : components_)
    if (c.name() == name) return &c;
  return nullptr;
}

void Application::watch(Component& comp) {
  if (!watcher_) return;
  // By its process: the component may move meanwhile (within the list, or
  // out of it when a reload deletes it), and the process calls only while it
  // lives, that is while the component does.
  ProcessWatcher* watcher = watcher_;
  const ComponentProcess* proc = comp.process();
  comp.attach(watcher->loop(), [this, watcher, proc](ComponentProcess::Event e) {
    for (std::vector<Component>* list : {&components_, &retired_})
      for (Component& c : *list)
        if (c.process() == proc) return watcher->processEvent(*this, c, e);
  });
}

std::string Application::label(const Component& comp) const {
  return "component \"" + comp.name() + "\" from application \"" + name_ + "\"";
}

void Application::beginStart(CompStrategy& strategy) {
  logDebug("Application::start() name=" + name_);
  running_ = true;
  needsStart_ = false;
  startFailure_.clear();
  strategy_ = &strategy;
  startState_ = StartState::kActive;
  next_ = 0;
}

Component* Application::startInFlight() {
  if (startState_ != StartState::kActive || next_ >= components_.size()) return nullptr;
  Component& comp = components_[next_];
  return comp.starting() ? &comp : nullptr;
}

Application::StartState Application::startFailed() {
  if (!isProcessRunning()) {
    noteStartFailure("the monitor is stopping");
  } else if (next_ < components_.size()) {
    const Component& comp = components_[next_];
    noteStartFailure(comp.startFailure().empty()
                         ? "component \"" + comp.name() + "\" did not start"
                         : comp.startFailure());
  }
  if (!components_.empty()) stopFrom(std::min(next_, components_.size() - 1));
  startState_ = StartState::kFailed;
  strategy_ = nullptr;
  return startState_;
}

Application::StartState Application::advanceStart(Clock::MonoTime now) {
  if (startState_ != StartState::kActive) return startState_;
  for (; next_ < components_.size(); ++next_) {
    Component& comp = components_[next_];
    if (!isProcessRunning()) return startFailed();
    // A component still running from an earlier start (its application
    // kept running while another one waited for recovery) is kept as it is;
    // one that a restart is bringing back is waited for.
    if (comp.running()) continue;
    if (comp.starting() || comp.stopping()) return startState_;
    logDebug("Application::startComp( " + comp.name() + " )");
    CompStart outcome;
    try {
      comp.createInformer();
      if (strategy_->answersLater()) {
        comp.beginStart(*strategy_, path_, now);
        watch(comp);
        return startState_;
      }
      // Through the strategy: a check-all run must get the check dialogue,
      // not the one-byte answer.
      strategy_->start(comp, path_, 0, fullName_);
      watch(comp);
      logInfo(label(comp) + " has been started " + strategy_->description());
      outcome = CompStart::kAnswered;
    } catch (const Component::StopedHimself&) {
      outcome = CompStart::kStoppedHimself;
    } catch (const std::logic_error&) {
      throw;
    } catch (const std::runtime_error& e) {
      logError("cannot start " + label(comp) + ": " + e.what());
      // Not spawned at all: the component has no start of its own to tell.
      if (comp.startFailure().empty())
        startFailure_ = "component \"" + comp.name() + "\" cannot be started: " + e.what();
      outcome = CompStart::kFailed;
    }
    if (outcome == CompStart::kAnswered) continue;
    return onOutcome(outcome, now);
  }
  startState_ = StartState::kDone;
  strategy_ = nullptr;
  if (regenerator_) regenerator_->appStarted(*this);
  logInfo("application \"" + name_ + "\" has been started");
  return startState_;
}

Application::StartState Application::onOutcome(CompStart outcome, Clock::MonoTime now) {
  switch (outcome) {
    case CompStart::kAnswered:
      ++next_;
      return advanceStart(now);
    case CompStart::kStoppedHimself:
      logError("component \"" + components_[next_].name() + "\" stopped himself");
      return startFailed();
    case CompStart::kPending:
      return startState_;
    case CompStart::kFailed:
      break;
  }
  return startFailed();
}

void Application::noteStartFailure(const std::string& cause) {
  if (startFailure_.empty()) startFailure_ = cause;
}

Application::StartState Application::answerArrived(Component& comp, bool timedOut,
                                                   Clock::MonoTime now) {
  if (startInFlight() != &comp) return startState_;
  return onOutcome(finishStart(comp, timedOut, *strategy_), now);
}

Application::CompStart Application::finishStart(Component& comp, bool timedOut,
                                                const CompStrategy& strategy) {
  try {
    comp.completeStart(timedOut);
  } catch (const Component::StartStopping&) {
    return CompStart::kPending;
  } catch (const Component::StopedHimself&) {
    return CompStart::kStoppedHimself;
  } catch (const std::runtime_error& e) {
    logError("cannot start " + label(comp) + ": " + e.what());
    return CompStart::kFailed;
  }
  logInfo(label(comp) + " has been started " + strategy.description());
  return CompStart::kAnswered;
}

bool Application::start(CompStrategy& strategy) {
  beginStart(strategy);
  for (;;) {
    StartState state = advanceStart(Clock::system().monoNow());
    if (state != StartState::kActive) return state == StartState::kDone;
    awaitStep(Clock::system());
  }
}

void Application::awaitStep(const Clock& clock) {
  if (Component* comp = startInFlight()) {
    const bool answered = comp->waitForAnswer(clock);
    answerArrived(*comp, !answered, clock.monoNow());
  }
}

void Application::stopFrom(size_t failed) {
  if (stop_.whole || stop_.partial) return;
  stop_.partial = true;
  stop_.fault = true;
  stop_.next = failed + 1;
  continueStop();
}

void Application::beginStop(std::function<void()> done) {
  logDebug("Application::stop() name=" + name_);
  startState_ = StartState::kIdle;
  strategy_ = nullptr;
  if (!running_ || stop_.whole) {
    // A stop already under way calls its own; this one has nothing to wait for.
    if (done) done();
    return;
  }
  running_ = false;
  stop_.whole = true;
  stop_.partial = false;
  stop_.fault = false;
  stop_.next = components_.size();
  stop_.done = std::move(done);
  continueStop();
}

void Application::stop() {
  for (Component& comp : retired_) {
    try {
      comp.stop(false);
    } catch (...) {
    }
  }
  retired_.clear();
  beginStop();
  // Under a watcher the components' ends are waited for here.
  while (stop_.whole && stop_.next > 0) {
    try {
      components_[stop_.next - 1].stop(false);
    } catch (...) {
    }
    --stop_.next;
    continueStop();
  }
}

bool Application::continueStop() {
  while (stop_.next > 0) {
    Component& comp = components_[stop_.next - 1];
    if (comp.stopping() || comp.beginStop(stop_.fault)) {
      // The loop tells of the end; without one it is waited for here.
      if (watcher_ && comp.process() && comp.process()->attached()) return false;
      try {
        comp.stop(stop_.fault);
      } catch (...) {
      }
    }
    --stop_.next;
  }
  if (stop_.partial) {
    stop_.partial = false;
    return true;
  }
  if (!stop_.whole) return true;
  stop_.whole = false;
  if (regenerator_) regenerator_->appStopped(*this);
  logInfo("application \"" + name_ + "\" has been stopped");
  std::function<void()> done = std::move(stop_.done);
  stop_.done = nullptr;
  if (done) done();
  return true;
}

bool Application::componentStopped(Component& comp, CompStart* outcome) {
  if (!comp.stopping()) return false;
  for (auto it = retired_.begin(); it != retired_.end(); ++it) {
    if (&*it != &comp) continue;
    try {
      comp.finishStop();
    } catch (...) {
    }
    retired_.erase(it);
    return false;
  }
  const bool undid = comp.undoesStart();
  bool exited = false;
  try {
    exited = comp.finishStop();
  } catch (...) {
  }
  if (undid) {
    if (!exited) logError("cannot start " + label(comp) + ": " + comp.failedStartText());
    if (outcome) *outcome = exited ? CompStart::kStoppedHimself : CompStart::kFailed;
  }
  if (stop_.whole || stop_.partial) {
    // Only the component the stop waits for moves it on.
    if (stop_.next > 0 && &components_[stop_.next - 1] == &comp) {
      --stop_.next;
      continueStop();
    }
  }
  return undid;
}

Application::StartState Application::startOutcome(Component& comp, CompStart outcome,
                                                  Clock::MonoTime now) {
  if (startState_ != StartState::kActive || next_ >= components_.size() ||
      &components_[next_] != &comp)
    return startState_;
  return onOutcome(outcome, now);
}

bool Application::beginRecovery(Component& comp, Clock::MonoTime now) {
  logDebug("Application::recovery() name=" + name_);
  logDebug("Application::startComp( " + comp.name() + " )");
  StandartCompStrategy strategy;
  try {
    comp.createInformer();
    comp.beginStart(strategy, path_, now);
    watch(comp);
  } catch (const std::runtime_error& e) {
    logError("cannot start " + label(comp) + ": " + e.what());
    return false;
  }
  return true;
}

void Application::recovered(Component& comp, time_t faultTime,
                            const std::vector<time_t>& abortive, time_t now) {
  comp.reportRecovery(now, faultTime, abortive, fullName_, path_);
}

bool Application::componentFault(Component& comp, time_t faultTime,
                                 const std::vector<std::string>& dependents) {
  if (!running_) return false;
  comp.fault(faultTime, fullName_, path_, dependents);
  return true;
}

void Application::cannotRecover(Component& comp, time_t faultTime,
                                const std::vector<time_t>& attempts) {
  comp.cannotRecover(faultTime, attempts, fullName_, path_);
}

void Application::sendSignal(int sig) {
  for (Component& comp : components_) comp.sendSignal(sig);
}

void Application::signalPids(std::set<pid_t> pids, int sig) {
  for (Component& comp : components_) comp.signalIfListed(pids, sig);
}

bool Application::reconfig(const Application& newDef) {
  logDebug("Application::reconfig() " + name_);
  notes_.clear();
  if (fullName_ != newDef.fullName_) {
    logInfo("application \"" + name_ + "\" change full name \"" + fullName_ + "\" to \"" +
            newDef.fullName_ + "\"");
    fullName_ = newDef.fullName_;
    notes_.push_back("full name \"" + fullName_ + "\"");
  }
  bool sameDeps = dependencies_.size() == newDef.dependencies_.size();
  for (const std::string& d : newDef.dependencies_) sameDeps = sameDeps && dependencies_.count(d);
  if (!sameDeps) notes_.push_back("dependencies changed");
  reconfigDeps(newDef.dependencies_);
  if (path_ != newDef.path_) {
    logInfo("application \"" + name_ + "\" change path \"" + path_ + "\" to \"" + newDef.path_ +
            "\". All components should be restarted");
    path_ = newDef.path_;
    // Only a running application comes back up; a stopped one just takes
    // the new definition and stays stopped.
    const bool wasRunning = running_;
    stop();
    // Still the same components: what they said before the move stays.
    std::vector<Component> moved(newDef.components_.begin(), newDef.components_.end());
    for (Component& c : moved)
      if (const Component* before = findComponent(c.name())) c.keepOutputOf(*before);
    components_ = std::move(moved);
    needsStart_ = wasRunning;
    notes_.push_back("path \"" + path_ + "\"" +
                     (wasRunning ? std::string(", its components restarted") : std::string()));
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
  std::vector<std::string> deleted;
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
        std::string before;
        comp.statusDump(false, before);
        if (comp.reconfigure(*def)) {
          changed = true;
          logInfo("component \"" + comp.name() + "\" from \"" + name_ +
                  "\" has been reconfigured");
          if (comp.running() || comp.starting()) {
            // The rule: a change never restarts a component by itself.
            const std::string pending =
                "component \"" + comp.name() + "\" keeps running; the change takes effect at "
                "its next start (now: norvak-monitor-ctl restart " + name_ + ")";
            logInfo(pending);
            notes_.push_back(pending);
          } else {
            notes_.push_back("component \"" + comp.name() + "\" changed");
          }
        } else {
          std::string after;
          comp.statusDump(false, after);
          if (after != before) notes_.push_back("component \"" + comp.name() + "\" changed");
        }
      } catch (const std::exception& e) {
        logError("error reload component \"" + comp.name() + "\": " + e.what());
      }
      ++i;
      continue;
    }
    logInfo(label(comp) + " must be deleted");
    deleted.push_back(comp.name());
    try {
      // Under the loop its stop goes on after the deletion, out of the list.
      if ((comp.stopping() || comp.beginStop(false)) && watcher_ && comp.process()->attached())
        retired_.push_back(std::move(comp));
      else
        comp.stop(false);
    } catch (const std::exception& e) {
      logError(e.what());
    }
    components_.erase(components_.begin() + static_cast<std::ptrdiff_t>(i));
    changed = true;
  }
  for (const std::string& name : deleted) notes_.push_back("component \"" + name + "\" removed");
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
    notes_.push_back("component \"" + c.name() + "\" added");
    changed = true;
    // A new component of a running application starts in a start sequence
    // of its own; otherwise it starts with its application.
    if (running_) needsStart_ = true;
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
