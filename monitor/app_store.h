#ifndef NORVAK_MONITOR_APP_STORE_H_
#define NORVAK_MONITOR_APP_STORE_H_

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame/app_name_less.h"
#include "frame/clock.h"
#include "monitor/application.h"

class CompStrategy;
class Component;
class ProcessWatcher;
class Regenerator;

// Every application known from the meta-configuration, and everything that
// concerns more than one of them: starts in dependency order, stops with the
// dependents first, cascades to dependencies nobody needs any more.
//
// Starts are queued (planStart) and moved on by the supervision loop
// (advanceStarts, answerArrived), one application at a time in dependency
// order, so that the loop goes on supervising while a component answers.
// The start operations that return a result (startApp, start) drive the same
// queue to its end, blocking.
//
// Used only from the thread that drives the supervision (the main loop, or
// the main thread before it exists); no locks.
class AppStore {
 public:
  typedef std::shared_ptr<Application> AppPtr;
  typedef std::vector<AppPtr> AppList;
  // dependency name -> dependent name; equal keys keep store order.
  typedef std::multimap<std::string, std::string, AppNameLess> DependsMap;

  // Starting while the monitor is going down.
  class StartError : public std::logic_error {
   public:
    StartError() : std::logic_error("some of application cannot start") {}
  };
  class BadAppName : public std::runtime_error {
   public:
    explicit BadAppName(const std::string& name)
        : std::runtime_error("bad application name \"" + name + "\"") {}
  };

  explicit AppStore(bool updateMode);
  virtual ~AppStore();
  AppStore(const AppStore&) = delete;
  AppStore& operator=(const AppStore&) = delete;

  // Contents.
  // Adds at the end of the load order; false (and nothing added) when an
  // application of that name exists. The store's regenerator, if any, is
  // handed to the application.
  bool add(const AppPtr& app);
  // Stops the application, then forgets it. False when unknown.
  bool remove(const std::string& name);
  AppPtr find(const std::string& name) const;
  bool isDefined(const std::string& name) const { return find(name) != nullptr; }
  const AppList& applications() const { return apps_; }
  // Every application in the order a start of them all would take:
  // dependencies first, depth-first, names in name order.
  AppList startOrder() const;
  bool isUpdateMode() const { return updateMode_; }
  void setRegenerator(Regenerator* regenerator);
  // Hands the watcher to every application, now and when added.
  void setWatcher(ProcessWatcher* watcher);
  // The clock of answer deadlines; must outlive the store.
  void setClock(const Clock& clock) { clock_ = &clock; }

  // The dependents index, rebuilt from the current definitions. Adding or
  // removing an application marks it for a rebuild on its next use; a change
  // of an application's own dependencies needs an explicit rebuild.
  void rebuildDependents() const;
  const DependsMap& dependents() const;
  // Names of the applications that depend on `name`, in store order.
  std::vector<std::string> dependentsOf(const std::string& name) const;

  // Starting. start() picks update, check-all or standard mode; agentAddress
  // and pidFileDir (ends in "/") serve the temporary agent of check-all mode
  // (an empty agentAddress: no agent, none is started).
  void start(const AppNameSet& names, const std::string& agentAddress,
             const std::string& pidFileDir);
  void startStandartMode(const AppNameSet& names);
  void startUpdateMode();
  void startCheckAllMode(const AppNameSet& names, const std::string& agentAddress,
                         const std::string& pidFileDir);
  // Starts the application after its dependencies. Throws StartError when the
  // monitor is not running, BadAppName for an unknown name (or dependency).
  bool startApp(const std::string& name, CompStrategy& strategy);

  // The start queue. planStart queues the applications, after whatever they
  // need that is not started (BadAppName for an unknown name or dependency);
  // announce logs each start as a run-set change. A null strategy is the
  // standard one. The first start is spawned at once.
  void planStart(const std::vector<std::string>& names, bool announce,
                 CompStrategy* strategy = nullptr);
  void advanceStarts(Clock::MonoTime now);
  bool startsPending() const { return !plan_.empty(); }
  // Applications in the start queue, and the one being started (or next);
  // empty when none.
  size_t queuedStarts() const { return plan_.size(); }
  std::string nextStart() const { return plan_.empty() ? std::string() : plan_.front().name; }
  // The application waits in the start queue, or is being started.
  bool isQueued(const std::string& name) const { return queued_.count(name) > 0; }
  // The answer of a component that a queued start waits for has arrived (or
  // its time is up).
  void answerArrived(Application& app, Component& comp, bool timedOut, Clock::MonoTime now);
  // The outcome of a start whose bad answer's stop has just ended.
  void startEnded(Application& app, Component& comp, Application::CompStart outcome,
                  Clock::MonoTime now);
  // Blocks until the queue is empty.
  void runStartsToEnd();

  // Stopping. An application's stop begins once whatever of it is to stop
  // too has stopped; applications that wait for nothing stop at once, side
  // by side. Under a watcher the stops move on from the loop's events and
  // these calls return at once; otherwise everything is over before they
  // return.
  //
  // The blocking stop of everything, the stops under way included.
  void stop();
  // Every running application, dependents first, under a watcher in the
  // background; stopsPending() tells when it is over.
  void stopAll();
  // Stops the application after everything that depends on it.
  void stopAppAndIDepends(Application& app);
  // Stops the application (unless kept and not forced), then every dependency
  // outside `keep` that no running application needs any more.
  void stopAppAndDepends(Application& app, const AppNameSet& keep, bool force);
  bool stopsPending() const { return !stops_.empty(); }
  // The application's stop is asked for and not over.
  bool isStopping(const std::string& name) const { return stops_.count(name) > 0; }
  // Stops every running application with a component that is not running;
  // the run set is kept out of the cascade.
  void stopFaultyApps(const AppNameSet& runSet);
  // Stops what is outside the run set and its dependencies, queues the start
  // of what is inside and not running.
  void applyRunAppSet(const AppNameSet& names);

  // State.
  int runningCount() const;
  // Applications all of whose components run.
  AppNameSet startedNames() const;

  // The end of a component's process; false when its application is not
  // running.
  bool componentFault(Application& app, Component& comp, time_t faultTime);
  // A restarted agent has forgotten what its dependents asked it: they are
  // told to read their configuration again.
  void after_app_recovery(const std::string& name);

  // Signals to running components.
  void signalAll(int sig);
  void signalPids(const std::set<pid_t>& pids, int sig);

  // Logs, as errors naming application and component, every problem that
  // would stop a component of runSet or of its dependencies from starting
  // (Component::startProblems); false when there was one.
  bool checkComponents(const AppNameSet& runSet) const;

  // Owner of the log file: the first component (store order, then component
  // order) whose user (group) is not root. Throw std::runtime_error if none.
  uid_t firstNotRootUid() const;
  gid_t firstNotRootGid() const;

  void debugDump() const;
  std::string statusDump(bool withFdPid) const;

 private:
  struct PlannedStart {
    std::string name;
    bool announce = false;
    CompStrategy* strategy = nullptr;
    bool begun = false;
    // The stops asked for before it (by number) are over first, as a reload
    // or a restart asks: what it stops, then what it starts.
    uint64_t afterStop = 0;
  };

  struct PlannedStop {
    AppPtr app;
    int waitingFor = 0;  // planned dependents whose stop is not over
    bool begun = false;
    uint64_t seq = 0;      // in the order asked for
    bool cascade = false;  // its dependencies nobody needs follow it,
    AppNameSet keep;       // except these
  };

  void enqueue(const std::string& name, bool announce, CompStrategy* strategy,
               AppNameSet& visiting);
  // Blocking: the dependents' stops, then the application's.
  void stopAppAndIDependsGuarded(Application& app, AppNameSet& inProgress);
  void planStop(const AppPtr& app, bool withDependents, bool cascade, const AppNameSet& keep,
                AppNameSet& visiting);
  void advanceStops();
  // A stop numbered up to seq is not over.
  bool stopsBefore(uint64_t seq) const;
  void finishStop(const std::string& name);
  void cascadeStop(Application& app, const AppNameSet& keep);
  void addClosure(const std::string& name, AppNameSet& closure) const;
  bool someRunningAppDependsOn(const Application& dep) const;

  bool updateMode_;
  AppList apps_;  // load order
  std::map<std::string, AppPtr, AppNameLess> byName_;
  mutable DependsMap dependents_;
  mutable bool dependentsStale_ = true;
  Regenerator* regenerator_ = nullptr;
  ProcessWatcher* watcher_ = nullptr;
  const Clock* clock_ = &Clock::system();

  std::map<std::string, PlannedStop, AppNameLess> stops_;
  std::deque<std::string> readyStops_;  // may begin, in the order they became ready
  std::deque<std::string> endedStops_;
  bool advancingStops_ = false;
  uint64_t stopSeq_ = 0;
  // Removed by a reload while running: kept until their stop is over.
  AppList leaving_;

  std::deque<PlannedStart> plan_;
  AppNameSet queued_;
  std::unique_ptr<CompStrategy> standard_;
};

// The log records of the start and stop operations carry this older name.
typedef AppStore AppStop;

#endif  // NORVAK_MONITOR_APP_STORE_H_
