#include "monitor/admin_requests.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "frame/clock.h"
#include "frame/log.h"
#include "frame/process_state.h"
#include "monitor/application.h"
#include "monitor/health_probe.h"
#include "monitor/deferred_event_store.h"
#include "monitor/run_app_store.h"

namespace {

const char kStopping[] = "the monitor is stopping";

}  // namespace

AdminRequests::AdminRequests(RunAppStore& store, const DeferredEventStore& events,
                             const Clock& clock)
    : store_(store), events_(events), clock_(clock) {}

bool AdminRequests::accept(const std::shared_ptr<AdminJob>& job) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (accepting_) return true;
  job->message = kStopping;
  job->done = true;
  return false;
}

bool AdminRequests::await(const std::shared_ptr<AdminJob>& job, int seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return answered_.wait_for(lock, std::chrono::seconds(std::max(seconds, 1)),
                            [&job] { return job->done; });
}

void AdminRequests::answer(const std::shared_ptr<AdminJob>& job, bool ok,
                           const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job->ok = ok;
    job->message = message;
    job->done = true;
  }
  answered_.notify_all();
}

void AdminRequests::serve(const std::shared_ptr<AdminJob>& job) {
  if (job->kind == AdminJob::kStatus) {
    fillStatus(*job);
    answer(job, job->status.ok, job->status.message);
    return;
  }
  if (job->kind == AdminJob::kLogs) {
    const std::string refusal = job->logs.collect(store_);
    answer(job, refusal.empty(), refusal);
    return;
  }
  if (job->kind == AdminJob::kComponents) {
    fillComponents(*job);
    answer(job, true, std::string());
    return;
  }
  if (job->names.empty() || !store_.find(target(*job))) {
    answer(job, false,
           "unknown application \"" + (job->names.empty() ? "" : target(*job)) + "\"");
    return;
  }
  if (!isProcessRunning()) {
    answer(job, false, kStopping);
    return;
  }
  waiting_.push_back(job);
  finishDone();
}

AppNameSet AdminRequests::touchedBy(const AdminJob& job) const {
  AppNameSet touched;
  AppStore::AppPtr app = store_.find(target(job));
  if (!app) return touched;
  // What it needs comes up with its start; what needs it goes with its stop.
  std::vector<std::string> next{app->name()};
  while (!next.empty()) {
    AppStore::AppPtr a = store_.find(next.back());
    next.pop_back();
    if (!a || !touched.insert(a->name()).second) continue;
    next.insert(next.end(), a->dependencies().begin(), a->dependencies().end());
  }
  AppNameSet down;
  next = {app->name()};
  while (!next.empty()) {
    const std::string name = next.back();
    next.pop_back();
    if (!down.insert(name).second) continue;
    const std::vector<std::string> more = store_.dependentsOf(name);
    next.insert(next.end(), more.begin(), more.end());
  }
  touched.insert(down.begin(), down.end());
  auto taken = takenDown_.find(app->name());
  if (taken != takenDown_.end()) touched.insert(taken->second.begin(), taken->second.end());
  return touched;
}

namespace {

bool overlap(const AppNameSet& a, const AppNameSet& b) {
  for (const std::string& name : a)
    if (b.count(name)) return true;
  return false;
}

}  // namespace

size_t AdminRequests::pump() {
  size_t begun = 0;
  std::vector<AppNameSet> held;  // of the requests left waiting, in order
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    const std::shared_ptr<AdminJob> job = *it;
    if (!isProcessRunning() || !store_.find(target(*job))) {
      // A reload may have removed it while the request waited.
      answer(job, false,
             isProcessRunning() ? "unknown application \"" + target(*job) + "\"" : kStopping);
      it = waiting_.erase(it);
      continue;
    }
    const AppNameSet touched = touchedBy(*job);
    bool blocked = std::any_of(held.begin(), held.end(),
                               [&](const AppNameSet& h) { return overlap(h, touched); }) ||
                   std::any_of(active_.begin(), active_.end(),
                               [&](const Action& a) { return overlap(a.touched, touched); });
    for (const std::string& name : touched)
      blocked = blocked || store_.isQueued(name) || store_.isStopping(name);
    if (blocked) {
      held.push_back(touched);
      ++it;
      continue;
    }
    it = waiting_.erase(it);
    Action action;
    action.job = job;
    action.touched = touched;
    active_.push_back(std::move(action));
    begin(active_.back());
    ++begun;
  }
  return begun;
}

std::vector<std::string> AdminRequests::runningDependents(const std::string& name) const {
  std::vector<std::string> found;
  std::vector<std::string> next = store_.dependentsOf(name);
  while (!next.empty()) {
    AppStore::AppPtr dep = store_.find(next.back());
    next.pop_back();
    if (!dep || !dep->isRunning() ||
        std::find(found.begin(), found.end(), dep->name()) != found.end())
      continue;
    found.push_back(dep->name());
    const std::vector<std::string> more = store_.dependentsOf(dep->name());
    next.insert(next.end(), more.begin(), more.end());
  }
  return found;
}

void AdminRequests::begin(Action& action) {
  const AdminJob& job = *action.job;
  AppStore::AppPtr app = store_.find(target(job));
  if (job.kind == AdminJob::kStart) return;  // settle() begins it
  const std::vector<std::string> dependents = runningDependents(app->name());
  if (job.kind == AdminJob::kRestart) {
    action.bringBack = dependents;
  } else {
    std::vector<std::string>& taken = takenDown_[app->name()];
    for (const std::string& name : dependents)
      if (std::find(taken.begin(), taken.end(), name) == taken.end()) taken.push_back(name);
  }
  logInfo("application \"" + app->name() + "\" stopped by the administrator");
  if (app->isRunning()) store_.stopAppAndIDepends(*app);
  stopped_.insert(app->name());
}

bool AdminRequests::beginStart(Action& action) {
  const std::shared_ptr<AdminJob>& job = action.job;
  AppStore::AppPtr app = store_.find(target(*job));
  if (!app) {
    answer(job, false, "unknown application \"" + target(*job) + "\"");
    return true;
  }
  logInfo("application \"" + target(*job) + "\" started by the administrator");
  // Its dependencies come up with it, so they are no longer held down.
  std::vector<std::string> pending{app->name()};
  while (!pending.empty()) {
    const std::string next = pending.back();
    pending.pop_back();
    stopped_.erase(next);
    if (AppStore::AppPtr dep = store_.find(next))
      pending.insert(pending.end(), dep->dependencies().begin(), dep->dependencies().end());
  }
  std::vector<std::string> back = action.bringBack;
  auto taken = takenDown_.find(app->name());
  if (taken != takenDown_.end()) {
    if (job->kind == AdminJob::kStart)
      back.insert(back.end(), taken->second.begin(), taken->second.end());
    takenDown_.erase(taken);
  }
  action.wanted = {app->name()};
  for (const std::string& name : back) {
    // One that an administrator stopped by its name stays down.
    if (stopped_.count(name) || !store_.find(name) ||
        std::find(action.wanted.begin(), action.wanted.end(), name) != action.wanted.end())
      continue;
    action.wanted.push_back(name);
  }
  action.starting = true;
  try {
    store_.planStart(action.wanted, true);
  } catch (const std::exception& e) {
    answer(job, false, std::string("cannot start \"") + target(*job) + "\": " + e.what());
    return true;
  }
  return false;
}

bool AdminRequests::settle(Action& action) {
  const std::shared_ptr<AdminJob>& job = action.job;
  if (!isProcessRunning()) return false;  // close() answers
  if (!action.starting) {
    if (store_.isStopping(target(*job))) return false;
    if (job->kind == AdminJob::kStop) {
      answer(job, true, std::string());
      return true;
    }
    if (beginStart(action)) return true;
  }
  for (const std::string& name : action.wanted)
    if (store_.isQueued(name) || store_.isStopping(name)) return false;
  std::string failures;
  for (const std::string& name : action.wanted) {
    AppStore::AppPtr app = store_.find(name);
    if (app && app->isStarted()) continue;
    // The target by the name the administrator gave.
    const std::string shown = name == action.wanted.front() ? target(*job) : name;
    std::string text = "start of \"" + shown + "\" failed";
    if (!app)
      text += ": removed by a reload";
    else if (!app->startFailure().empty())
      text += ": " + app->startFailure();
    failures += (failures.empty() ? "" : "; ") + text;
  }
  answer(job, failures.empty(), failures);
  return true;
}

void AdminRequests::finishDone() {
  for (;;) {
    bool finished = false;
    for (size_t i = 0; i < active_.size();) {
      if (settle(active_[i])) {
        active_.erase(active_.begin() + static_cast<std::ptrdiff_t>(i));
        finished = true;
      } else {
        ++i;
      }
    }
    if (pump() == 0 && !finished) return;
  }
}

void AdminRequests::refuse() {
  std::lock_guard<std::mutex> lock(mutex_);
  accepting_ = false;
}

void AdminRequests::close() {
  refuse();
  for (const std::shared_ptr<AdminJob>& job : waiting_) answer(job, false, kStopping);
  waiting_.clear();
  // Stopped now, as asked; a start will not come.
  for (const Action& action : active_) {
    const bool stopOnly = action.job->kind == AdminJob::kStop;
    answer(action.job, stopOnly, stopOnly ? "" : kStopping);
  }
  active_.clear();
}

void AdminRequests::dropStopped(AppNameSet& set) const {
  if (stopped_.empty()) return;
  AppNameSet dropped = stopped_;
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

void AdminRequests::fillComponents(AdminJob& job) const {
  for (const AppStore::AppPtr& app : store_.applications()) {
    for (const Component& comp : app->components()) {
      if (!comp.running()) continue;
      job.componentUsers.insert(comp.user());
      if (job.pids.count(comp.pid())) job.componentPids.insert(comp.pid());
    }
  }
}

void AdminRequests::fillStatus(AdminJob& job) const {
  using State = SuiteStatus::Component::State;
  SuiteStatus& result = job.status;
  result = SuiteStatus();
  for (const std::string& name : job.names) {
    if (!store_.find(name)) {
      result.message = "unknown application \"" + name + "\"";
      return;
    }
  }
  const time_t wall = clock_.wallNow();
  const Clock::MonoTime mono = clock_.monoNow();
  for (const AppStore::AppPtr& app : store_.startOrder()) {
    if (!job.names.empty() &&
        std::none_of(job.names.begin(), job.names.end(),
                     [&app](const std::string& n) { return appNameEqual(n, app->name()); }))
      continue;
    SuiteStatus::Application out;
    out.name = app->name();
    out.fullName = app->fullName();
    out.running = app->isRunning();
    out.adminStopped = stopped_.count(app->name()) > 0;
    out.dependencies.assign(app->dependencies().begin(), app->dependencies().end());
    for (const Component& comp : app->components()) {
      SuiteStatus::Component c;
      c.name = comp.name();
      c.pid = comp.pid();
      c.restarts = comp.restarts();
      c.lastFaultTime = comp.lastFaultTime();
      c.lastFaultCause = comp.lastFaultCause();
      for (const HealthResult& h : comp.healthResults())
        c.checks.push_back({h.check, h.result, h.time, h.failures, h.error});
      c.notifyStatus = comp.notifyStatus();
      Clock::MonoTime due;
      if (comp.running()) {
        c.state = State::kRunning;
        c.startTime = comp.startTime();
      } else if (comp.starting()) {
        c.state = State::kStarting;
      } else if (comp.givenUp()) {
        c.state = State::kGivenUp;
      } else if (comp.exitedByItself()) {
        // Its application is stopped for it, not restarted: no "waiting".
        c.state = State::kExited;
        c.exitStatus = comp.lastExitCode();
      } else if (app->isRunning() && events_.dueFor(app->name(), comp.name(), due)) {
        c.state = State::kWaiting;
        // Rounded up: the try is not made before the time shown.
        const auto wait = std::chrono::ceil<std::chrono::seconds>(due - mono).count();
        c.nextTry = wall + static_cast<time_t>(std::max<int64_t>(wait, 0));
      } else if (app->isRunning() && comp.lastFaultTime() > 0) {
        c.state = State::kFailed;
      } else if (!comp.startFailure().empty() && !out.adminStopped) {
        // Its last start failed: it stays down until asked again, and why.
        c.state = State::kFailed;
        c.lastFaultCause = comp.startFailure();
      } else {
        c.state = State::kStopped;
      }
      out.components.push_back(std::move(c));
    }
    result.apps.push_back(std::move(out));
  }
  result.ok = true;
}
