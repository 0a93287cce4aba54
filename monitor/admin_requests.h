#ifndef NORVAK_MONITOR_ADMIN_REQUESTS_H_
#define NORVAK_MONITOR_ADMIN_REQUESTS_H_

#include <sys/types.h>
#include <time.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "frame/app_name_less.h"
#include "monitor/logs_query.h"

class Clock;
class DeferredEventStore;
class RunAppStore;

// What the monitor supervises, as the administrators' status shows it.
struct SuiteStatus {
  struct Component {
    enum class State { kRunning, kStarting, kGivenUp, kWaiting, kFailed, kStopped, kExited };
    std::string name;
    pid_t pid = -1;
    State state = State::kStopped;
    time_t startTime = 0;
    int restarts = 0;
    time_t nextTry = 0;  // a waiting component's next restart try
    time_t lastFaultTime = 0;
    std::string lastFaultCause;
    int exitStatus = -1;  // an exited component's
  };
  struct Application {
    std::string name;
    std::string fullName;
    bool running = false;
    bool adminStopped = false;
    std::vector<std::string> dependencies;
    std::vector<Component> components;
  };
  bool ok = false;
  std::string message;  // the reason when not ok
  std::vector<Application> apps;  // in start order, dependencies first
};

// One request of an administrator and, once done, its answer.
struct AdminJob {
  // kComponents: which of pids are running components', and the users the
  // running components run as ("" for the monitor's own).
  // kLogs: the lines asked for in logs.
  enum Kind { kStatus, kStart, kStop, kRestart, kComponents, kLogs } kind = kStatus;
  std::vector<std::string> names;  // the applications (status: empty for all)
  std::set<pid_t> pids;
  std::set<pid_t> componentPids;
  std::set<std::string> componentUsers;
  bool done = false;
  bool ok = false;
  std::string message;
  SuiteStatus status;
  LogsQuery logs;
};

// The administrators' requests: served by the loop, which alone may touch
// the store, while the asking thread waits for the answer. A stop or restart
// is answered once its stop is over, a start once the application runs or
// its start failed. What an administrator stopped stays stopped, across
// reloads too, until an administrator starts it (or what needs it) again.
class AdminRequests {
 public:
  AdminRequests(RunAppStore& store, const DeferredEventStore& events, const Clock& clock);
  AdminRequests(const AdminRequests&) = delete;
  AdminRequests& operator=(const AdminRequests&) = delete;

  // ---- The asking thread ----
  // False, and the job answered, when requests are no longer taken.
  bool accept(const std::shared_ptr<AdminJob>& job);
  // Waits up to `seconds` for the answer; false on time-out.
  bool await(const std::shared_ptr<AdminJob>& job, int seconds);

  // ---- The loop ----
  void serve(const std::shared_ptr<AdminJob>& job);
  // Answers the starts and stops that are over; after every event.
  void finishDone();
  // The monitor stops: no request is taken from now on.
  void refuse();
  // Those under way are answered, once everything has stopped.
  void close();
  // Takes out of a run set what an administrator stopped and whatever needs
  // it, so that a reload does not bring it back.
  void dropStopped(AppNameSet& set) const;
  // Something is held down by an administrator, who may start it again.
  bool anyStopped() const { return !stopped_.empty(); }

 private:
  struct PendingStop {
    std::shared_ptr<AdminJob> job;
    std::vector<std::string> dependents;  // a restart's, to start again
  };

  void finish(const std::shared_ptr<AdminJob>& job, bool ok, const std::string& message);
  // The stop of a stop or restart request is over.
  void stopped(const PendingStop& stop);
  void beginStart(const std::shared_ptr<AdminJob>& job);
  void fillStatus(AdminJob& job) const;
  void fillComponents(AdminJob& job) const;

  RunAppStore& store_;
  const DeferredEventStore& events_;
  const Clock& clock_;

  std::mutex mutex_;
  std::condition_variable answered_;
  bool accepting_ = true;

  AppNameSet stopped_;
  std::vector<PendingStop> stopping_;
  std::vector<std::shared_ptr<AdminJob>> starting_;
};

#endif  // NORVAK_MONITOR_ADMIN_REQUESTS_H_
