#ifndef NORVAK_MONITOR_ADMIN_REQUESTS_H_
#define NORVAK_MONITOR_ADMIN_REQUESTS_H_

#include <sys/types.h>
#include <time.h>

#include <condition_variable>
#include <deque>
#include <map>
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
    struct Check {
      std::string check;
      std::string result;
      time_t time = 0;
      int failures = 0;
      std::string error;
    };
    std::vector<Check> checks;  // health checks' last results
    std::string notifyStatus;   // the last STATUS= of its notification socket
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
  // kReload: SIGHUP to the processes of pids, the monitor's own pid reloading
  // the monitor (whose changes the message tells); unreached are the pids
  // that are none of these. kLogs: the lines asked for in logs.
  enum Kind { kStatus, kStart, kStop, kRestart, kComponents, kReload, kLogs } kind = kStatus;
  std::vector<std::string> names;  // the applications (status: empty for all)
  std::set<pid_t> pids;
  std::set<pid_t> componentPids;
  std::set<std::string> componentUsers;
  std::set<pid_t> unreached;
  bool done = false;
  bool ok = false;
  std::string message;
  SuiteStatus status;
  LogsQuery logs;
};

// The administrators' requests: served by the loop, which alone may touch
// the store, while the asking thread waits for the answer.
//
// Starts, stops and restarts are taken one at a time per application: one
// that touches an application (the application itself, what it needs and
// what needs it) that an earlier request or the store is still busy with
// waits, in the order asked, until that has settled. A request is answered
// once every application it touched has settled: stopped, started, or failed
// to start, with the cause. What an administrator stopped stays stopped,
// across reloads too, until an administrator starts it (or what needs it)
// again; its start brings back the dependents its stop took down.
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
  // Answers a job that the loop carried out itself.
  void answer(const std::shared_ptr<AdminJob>& job, bool ok, const std::string& message);
  // Answers the requests that have settled and begins those that may begin;
  // after every event.
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
  struct Action {
    std::shared_ptr<AdminJob> job;
    AppNameSet touched;
    bool starting = false;               // the stop, if any, is over
    std::vector<std::string> bringBack;  // a restart's dependents
    std::vector<std::string> wanted;     // what the start brings up
  };

  const std::string& target(const AdminJob& job) const { return job.names.front(); }
  AppNameSet touchedBy(const AdminJob& job) const;
  // Begins the waiting requests that nothing holds back; how many began.
  size_t pump();
  void begin(Action& action);
  // True when the action has been answered.
  bool beginStart(Action& action);
  bool settle(Action& action);
  // The running applications that the stop of name takes down with it.
  std::vector<std::string> runningDependents(const std::string& name) const;
  void fillStatus(AdminJob& job) const;
  void fillComponents(AdminJob& job) const;

  RunAppStore& store_;
  const DeferredEventStore& events_;
  const Clock& clock_;

  std::mutex mutex_;
  std::condition_variable answered_;
  bool accepting_ = true;

  AppNameSet stopped_;
  // By application: the dependents its administrator's stop took down.
  std::map<std::string, std::vector<std::string>, AppNameLess> takenDown_;
  std::deque<std::shared_ptr<AdminJob>> waiting_;
  std::vector<Action> active_;
};

#endif  // NORVAK_MONITOR_ADMIN_REQUESTS_H_
