#ifndef NORVAK_MONITOR_APPLICATION_H_
#define NORVAK_MONITOR_APPLICATION_H_

#include <sys/types.h>
#include <time.h>

#include <set>
#include <string>
#include <vector>

#include "frame/app_name_less.h"
#include "monitor/component.h"

class CompStrategy;
class Regenerator;

// A named group of components that start together in list order and stop
// together in reverse order, after the applications it depends on.
//
// Used only from the thread that drives the application store; no locks.
class Application {
 public:
  explicit Application(const std::string& name = std::string());
  // Copies the definition: components are copied without their processes,
  // and the copy is not running.
  Application(const Application& other);
  Application& operator=(const Application&) = delete;
  ~Application();

  // Definition (filled by the meta-configuration reader).
  const std::string& name() const { return name_; }
  const std::string& fullName() const { return fullName_; }
  const std::string& path() const { return path_; }
  const AppNameSet& dependencies() const { return dependencies_; }
  const std::vector<Component>& components() const { return components_; }
  std::vector<Component>& components() { return components_; }
  void setName(const std::string& name) { name_ = name; }
  void setFullName(const std::string& fullName) { fullName_ = fullName; }
  void setPath(const std::string& path) { path_ = path; }
  void addDependency(const std::string& name) { dependencies_.insert(name); }
  void addComponent(const Component& comp) { components_.push_back(comp); }
  void addComponent(Component&& comp) { components_.push_back(std::move(comp)); }

  Regenerator* regenerator() const { return regenerator_; }
  void setRegenerator(Regenerator* regenerator) { regenerator_ = regenerator; }

  // Set from the beginning of start() until stop().
  bool isRunning() const { return running_; }
  // Every component runs.
  bool isStarted() const;
  bool dependsOn(const std::string& name) const;
  // Some component is not running.
  bool hasFailedComponent() const;
  // Some component's last signal death was the process `pid`.
  bool hasSignalledPid(pid_t pid) const;

  // Starts the components in order, each retried after the given delays.
  // On failure the components started so far are stopped again.
  bool start(const std::vector<int>& delays, CompStrategy& strategy);
  bool startComp(Component& comp, time_t faultTime, int tryNo, CompStrategy& strategy);
  void stop();

  // Restarts the component whose process was `pid`.
  bool recovery(pid_t pid, time_t faultTime, int tryNo);
  // Lets the component whose process was `pid` handle its end; dependents
  // are the applications that the failure may affect. True when one did.
  bool componentFault(pid_t pid, time_t faultTime, const std::vector<std::string>& dependents);
  bool cannotRecover(pid_t pid, time_t faultTime);

  // Pid of the component watched through fd, or -1.
  pid_t pidByFd(int fd) const;
  void appendFds(std::vector<int>& fds) const;
  void sendSignal(int sig);
  void signalPids(std::set<pid_t> pids, int sig);

  // Takes over a newer definition of the same application. True when
  // something that matters to the running processes changed.
  bool reconfig(const Application& newDef, const std::vector<int>& delays);
  void reconfigDeps(const AppNameSet& newDeps);
  bool reconfigComponents(const Application& newDef);

  // Debug listing, written only when debug records are.
  void debugDump() const;
  // Appends the <app ...> element; withFdPid adds each component's fd and pid.
  void statusDump(bool withFdPid, std::string& out) const;

 private:
  std::string label(const Component& comp) const;
  void stopFrom(size_t failed);

  std::string name_;
  std::string fullName_;
  std::string path_;
  AppNameSet dependencies_;
  std::vector<Component> components_;
  Regenerator* regenerator_ = nullptr;
  bool running_ = false;
};

#endif  // NORVAK_MONITOR_APPLICATION_H_
