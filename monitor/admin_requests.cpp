#include "monitor/admin_requests.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "frame/clock.h"
#include "frame/log.h"
#include "frame/process_state.h"
#include "monitor/application.h"
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

void AdminRequests::finish(const std::shared_ptr<AdminJob>& job, bool ok,
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
    finish(job, job->status.ok, job->status.message);
    return;
  }
  if (job->kind == AdminJob::kLogs) {
    const std::string refusal = job->logs.collect(store_);
    finish(job, refusal.empty(), refusal);
    return;
  }
  if (job->kind == AdminJob::kComponents) {
    fillComponents(*job);
    finish(job, true, std::string());
    return;
  }
  AppStore::AppPtr app = job->names.empty() ? nullptr : store_.find(job->names.front());
  if (!app) {
    finish(job, false,
           "unknown application \"" + (job->names.empty() ? "" : job->names.front()) + "\"");
    return;
  }
  if (!isProcessRunning()) {
    finish(job, false, kStopping);
    return;
  }
  PendingStop pending{job, {}};
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
    stopped_.insert(app->name());
  }
  // Either goes on once the stop is over.
  if (store_.isStopping(app->name()))
    stopping_.push_back(std::move(pending));
  else
    stopped(pending);
}

void AdminRequests::stopped(const PendingStop& stop) {
  const std::shared_ptr<AdminJob>& job = stop.job;
  if (job->kind == AdminJob::kStop) {
    finish(job, true, std::string());
    return;
  }
  if (!isProcessRunning()) {
    finish(job, false, kStopping);
    return;
  }
  logInfo("application \"" + job->names.front() + "\" started by the administrator");
  beginStart(job);
  if (!stop.dependents.empty()) {
    try {
      store_.planStart(stop.dependents, store_.retryDelays(), true);
    } catch (const std::exception& e) {
      logError(std::string("restart of the dependents failed: ") + e.what());
    }
  }
}

void AdminRequests::beginStart(const std::shared_ptr<AdminJob>& job) {
  const std::string& name = job->names.front();
  AppStore::AppPtr app = store_.find(name);
  // Its dependencies come up with it, so they are no longer held down.
  std::vector<std::string> pending{app->name()};
  while (!pending.empty()) {
    const std::string next = pending.back();
    pending.pop_back();
    stopped_.erase(next);
    if (AppStore::AppPtr dep = store_.find(next))
      pending.insert(pending.end(), dep->dependencies().begin(), dep->dependencies().end());
  }
  try {
    store_.planStart({app->name()}, store_.retryDelays(), true);
  } catch (const std::exception& e) {
    finish(job, false, std::string("cannot start \"") + name + "\": " + e.what());
    return;
  }
  starting_.push_back(job);
}

void AdminRequests::finishDone() {
  for (size_t i = 0; i < stopping_.size();) {
    if (store_.isStopping(stopping_[i].job->names.front())) {
      ++i;
      continue;
    }
    const PendingStop done = std::move(stopping_[i]);
    stopping_.erase(stopping_.begin() + static_cast<std::ptrdiff_t>(i));
    stopped(done);
  }
  for (auto it = starting_.begin(); it != starting_.end();) {
    AppStore::AppPtr app = store_.find((*it)->names.front());
    if (app && store_.isQueued(app->name()) && isProcessRunning()) {
      ++it;
      continue;
    }
    if (!isProcessRunning())
      finish(*it, false, kStopping);
    else if (app && app->isStarted())
      finish(*it, true, std::string());
    else
      finish(*it, false, "start of \"" + (*it)->names.front() + "\" failed");
    it = starting_.erase(it);
  }
}

void AdminRequests::refuse() {
  std::lock_guard<std::mutex> lock(mutex_);
  accepting_ = false;
}

void AdminRequests::close() {
  refuse();
  for (const std::shared_ptr<AdminJob>& job : starting_) finish(job, false, kStopping);
  starting_.clear();
  // Stopped now, as asked; a restart's start will not come.
  for (const PendingStop& stop : stopping_) {
    const bool stopOnly = stop.job->kind == AdminJob::kStop;
    finish(stop.job, stopOnly, stopOnly ? "" : kStopping);
  }
  stopping_.clear();
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
      } else {
        c.state = State::kStopped;
      }
      out.components.push_back(std::move(c));
    }
    result.apps.push_back(std::move(out));
  }
  result.ok = true;
}
