#ifndef NORVAK_MONITOR_APP_STORE_H_
#define NORVAK_MONITOR_APP_STORE_H_

#include <poll.h>
#include <sys/types.h>
#include <time.h>

#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "frame/app_name_less.h"

class Application;
class CompStrategy;
class Component;
class Regenerator;

// Every application known from the meta-configuration, and everything that
// concerns more than one of them: starts in dependency order, stops with the
// dependents first, cascades to dependencies nobody needs any more, and the
// routing of descriptors, pids, faults and recoveries to the owning
// application.
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

  // The owner of a watched descriptor, as the main loop needs it to schedule
  // the restart of the component behind it.
  struct FdOwner {
    std::string appName;
    std::string compName;
    pid_t pid = -1;
    bool appRunning = false;
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
  bool isUpdateMode() const { return updateMode_; }
  void setRegenerator(Regenerator* regenerator);

  // The dependents index, rebuilt from the current definitions. Adding or
  // removing an application marks it for a rebuild on its next use; a change
  // of an application's own dependencies needs an explicit rebuild.
  void rebuildDependents() const;
  const DependsMap& dependents() const;
  // Names of the applications that depend on `name`, in store order.
  std::vector<std::string> dependentsOf(const std::string& name) const;

  // Starting. start() picks update, check-all or standard mode; agentAddress
  // and pidFileDir (ends in "/") serve the temporary agent of check-all mode.
  void start(const AppNameSet& names, const std::vector<int>& delays,
             const std::string& agentAddress, const std::string& pidFileDir);
  void startStandartMode(const AppNameSet& names, const std::vector<int>& delays);
  void startUpdateMode(const std::vector<int>& delays);
  void startCheckAllMode(const AppNameSet& names, const std::vector<int>& delays,
                         const std::string& agentAddress, const std::string& pidFileDir);
  // Starts the application after its dependencies. Throws StartError when the
  // monitor is not running, BadAppName for an unknown name (or dependency).
  bool startApp(const std::string& name, const std::vector<int>& delays, CompStrategy& strategy);

  // Stopping.
  void stop();
  // Stops the application after everything that depends on it.
  void stopAppAndIDepends(Application& app);
  // Stops the application (unless kept and not forced), then every dependency
  // outside `keep` that no running application needs any more.
  void stopAppAndDepends(Application& app, const AppNameSet& keep, bool force);
  // Stops every running application with a component that is not running;
  // the run set is kept out of the cascade.
  void stopFaultyApps(const AppNameSet& runSet);
  // Stops what is outside the run set and its dependencies, starts what is
  // inside and not running.
  void applyRunAppSet(const AppNameSet& names, const std::vector<int>& delays);

  // State.
  int runningCount() const;
  // Applications all of whose components run.
  AppNameSet startedNames() const;

  // Watched descriptors. collectPollFds() also refreshes the index behind
  // pidByFd(), findByFd() and the pid lookups, so call it before each wait.
  void appendFds(std::vector<int>& fds) const;
  void collectPollFds(std::vector<pollfd>& fds);
  // The pid of the component watched through fd; 0 when its application is
  // not running; -1 when nobody owns fd.
  pid_t pidByFd(int fd) const;
  bool findByFd(int fd, FdOwner& owner) const;

  // Faults and recoveries, by the pid of the process that ended.
  void componentFault(pid_t pid, time_t faultTime);
  void cannotRecover(pid_t pid, time_t faultTime);
  // Some component's last death by a signal was process pid.
  bool holdsComponent(pid_t pid) const;
  // Restarts the component of pid in an application admitted by the filter
  // (an empty filter admits all).
  bool recover(pid_t pid, time_t faultTime, int tryNo, const AppNameSet& filter);
  // The same, naming the component: its pid changes with every restart.
  bool recoverComponent(const std::string& appName, const std::string& compName,
                        time_t faultTime, int tryNo, const AppNameSet& filter);
  bool cannotRecoverComponent(const std::string& appName, const std::string& compName,
                              time_t faultTime);
  // A restarted agent has forgotten what its dependents asked it: they are
  // told to read their configuration again.
  void after_app_recovery(const std::string& name);

  // Signals to running components.
  void signalAll(int sig);
  void signalPids(const std::set<pid_t>& pids, int sig);

  // Owner of the log file: the first component (store order, then component
  // order) whose user (group) is not root. Throw std::runtime_error if none.
  uid_t firstNotRootUid() const;
  gid_t firstNotRootGid() const;

  void debugDump() const;
  std::string statusDump(bool withFdPid) const;

 private:
  bool startAppGuarded(const std::string& name, const std::vector<int>& delays,
                       CompStrategy& strategy, AppNameSet& inProgress);
  void stopAppAndIDependsGuarded(Application& app, AppNameSet& inProgress);
  void addClosure(const std::string& name, AppNameSet& closure) const;
  bool someRunningAppDependsOn(const Application& dep) const;
  Application* indexedOwnerOfFd(int fd) const;
  Application* indexedOwnerOfPid(pid_t pid) const;
  void clearIndex();

  bool updateMode_;
  AppList apps_;
  mutable DependsMap dependents_;
  mutable bool dependentsStale_ = true;
  Regenerator* regenerator_ = nullptr;
  // Refreshed by collectPollFds(); only a hint, every hit is checked against
  // the application, so a stale entry costs a scan, never a wrong answer.
  std::unordered_map<int, AppPtr> fdIndex_;
  std::unordered_map<pid_t, AppPtr> pidIndex_;
};

// The log records of the start and stop operations carry this older name.
typedef AppStore AppStop;

#endif  // NORVAK_MONITOR_APP_STORE_H_
