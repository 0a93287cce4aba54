#ifndef NORVAK_MONITOR_MONITOR_H_
#define NORVAK_MONITOR_MONITOR_H_

#include <poll.h>
#include <sys/types.h>
#include <time.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/monitor_conf_reader.h"
#include "frame/app_name_less.h"
#include "frame/signal_executor.h"
#include "monitor/deferred_event_store.h"
#include "monitor/regenerator.h"
#include "monitor/run_app_store.h"

// The supervision core: owns the settings, the application store and the
// schedule of restarts; starts the run set, runs the main loop that notices
// dead components through their start pipes and drives their recovery,
// reloads on request, and stops everything at the end.
//
// Applications, components and the deferred events are touched only by the
// thread that runs start() and then mainLoop(); other threads reach the
// monitor through the SignalExecutor side and addChangedConf(), which only set
// flags under their own mutexes.
class Monitor : public Regenerator, public SignalExecutor {
 public:
  class InitError : public std::runtime_error {
   public:
    explicit InitError(const std::string& what) : std::runtime_error(what) {}
  };

  static const char* const kAgentApp;  // "AGENT"
  static const char* const kMaildApp;  // "MAILD"

  Monitor(const std::string& confFile, const std::string& runList, bool update);
  ~Monitor() override;
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Regenerator
  bool regenerate(const AppNameSet& names) override;
  void appStarted(const Application& app) override;
  void appStopped(const Application& app) override;

  virtual void mainLoop();
  // Starts the first run set; throws InitError when none of it runs.
  virtual void start();
  // Waits for the main loop to end, then stops every application.
  virtual void stop();
  // The SIGHUP path, run by the main loop.
  virtual void reload();
  virtual void reloadData();
  virtual void changedConfReload();

  // SignalExecutor
  void reload(int signal, const std::string& name) override;
  void terminate(int signal, const std::string& name) override;
  void inform(int signal, const std::string& name) override;

  void getFirstRunAppSet(AppNameSet& set);
  void getRunAppSet(AppNameSet& set);

  void addChangedConf(const std::set<pid_t>& pids);
  void getChangedConf(std::set<pid_t>& pids);

  static void setState(bool started);
  static bool isRunning();

  void setOwnPid(pid_t pid) { ownPid_ = pid; }
  pid_t ownPid() const { return ownPid_; }

  uid_t firstNotRootUid() const { return store_.firstNotRootUid(); }
  gid_t firstNotRootGid() const { return store_.firstNotRootGid(); }
  // Empty when the log goes to syslog.
  std::string logFileName() const;

  const MonitorConfReader& settings() const { return settings_; }
  RunAppStore& store() { return store_; }

  // Splits a hup file name (component "." pid ".hup") into its parts; the
  // directory part of path is ignored. False for any other form.
  static bool parseHupFileName(const std::string& path, std::string& component, pid_t& pid);

 protected:
  // Waits up to timeoutSec for the end of a component and schedules the
  // restart of every component that has gone.
  void waitManagementEvents(int timeoutSec);
  // Schedules the restart of the components behind descriptors that reported
  // end of file.
  void handleGoneFds(const std::vector<int>& gone, time_t now);
  // Runs the restart tries that are due, for the applications of the filter
  // (an empty filter admits all).
  void processDeferredEvents(const AppNameSet& filter);
  // SIGHUP to the live owners of hup files whose pid is in the set.
  void hupFilePass(std::set<pid_t>& pids);
  // Copies the mail settings into the process-wide notification settings.
  void refreshNotifySettings();

 private:
  void loadStore(RunAppStore& store);
  void verifyRunSet(const AppNameSet& set);
  bool eventStillValid(const DeferredEvent& event) const;
  void giveUp(const DeferredEvent& event);
  static void sendHup(pid_t pid, const std::string& name);

  MonitorConfReader settings_;
  RunAppStore store_;
  AppNameSet cmdRunSet_;
  DeferredEventStore events_;

  std::mutex mainLoopMutex_;
  std::condition_variable mainLoopCond_;
  bool mainLoopRunning_ = false;

  std::mutex reloadMutex_;
  bool reloadRequested_ = false;

  std::mutex changedConfMutex_;
  std::set<pid_t> changedConf_;

  pid_t ownPid_ = -1;

  // Reused by every wait so that a turn of the main loop allocates nothing.
  // A wait nested in fault handling may refill them; the outer wait is done
  // with them by then.
  std::vector<int> fdList_;
  std::vector<pollfd> pollFds_;
  std::vector<int> goneFds_;
};

#endif  // NORVAK_MONITOR_MONITOR_H_
