#ifndef NORVAK_MONITOR_MONITOR_H_
#define NORVAK_MONITOR_MONITOR_H_

#include <poll.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/monitor_conf_reader.h"
#include "frame/app_name_less.h"
#include "frame/clock.h"
#include "frame/signal_executor.h"
#include "monitor/agent_link.h"
#include "monitor/agent_notifier.h"
#include "ipc/nk_unique_fd.h"
#include "monitor/deferred_event_store.h"
#include "monitor/regenerator.h"
#include "monitor/run_app_store.h"
#include "protocols/nk_status.h"

// The supervision core: owns the settings, the application store and the
// schedule of restarts; starts the run set, runs the main loop that notices
// dead components through their start pipes and pidfds and drives their
// recovery, reloads on request, and stops everything at the end.
//
// Nothing in a turn of the loop waits for one component: starts and
// restarts are spawned and their answers arrive through the same wait as
// deaths, so a component that is slow to answer holds up nobody else.
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

  // The clock must outlive the monitor; tests hand in their own.
  Monitor(const std::string& confFile, const std::string& runList, bool update,
          const Clock& clock = Clock::system());
  ~Monitor() override;
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Regenerator
  void appStarted(const Application& app) override;
  void appStopped(const Application& app) override;

  virtual void mainLoop();
  // Starts the first run set; throws InitError when none of it runs. Ends
  // early, without error, when a SIGTERM or SIGINT arrives meanwhile.
  virtual void start();
  // Waits for the main loop to end, then stops every application.
  virtual void stop();
  // The SIGHUP path, run by the main loop. A failure anywhere leaves the
  // settings and the store as they were.
  virtual void reload();
  virtual void reloadData();
  virtual void changedConfReload();

  // SignalExecutor
  void reload(int signal, const std::string& name) override;
  void terminate(int signal, const std::string& name) override;
  void inform(int signal, const std::string& name) override;

  void getFirstRunAppSet(AppNameSet& set);
  bool checkComponents(const AppNameSet& set) const { return store_.checkComponents(set); }
  void getRunAppSet(AppNameSet& set);
  // One turn of the loop: waits up to maxWaitMs for component events (less
  // when a deadline or a restart falls due sooner), handles them, moves the
  // queued starts on and runs the due restarts.
  void turn(int maxWaitMs);

  // Also ends the main loop's current wait, so that the pids are handled at
  // once rather than on the next turn.
  void addChangedConf(const std::set<pid_t>& pids);
  void getChangedConf(std::set<pid_t>& pids);

  // ---- Administrators' requests ----
  // Served by the main loop, which alone may touch the store: another
  // thread posts a job and waits for the loop to answer it.
  struct AdminJob {
    // kComponents: which of pids are running components', and the users
    // the running components run as ("" for the monitor's own).
    enum Kind { kStatus, kStart, kStop, kRestart, kComponents } kind = kStatus;
    std::vector<std::string> names;  // the applications (status: empty for all)
    std::set<pid_t> pids;
    std::set<pid_t> componentPids;
    std::set<std::string> componentUsers;
    bool done = false;
    bool ok = false;
    std::string message;
    norvak::maild::NkStatusResult status;
  };
  // From any thread but the main loop's. False when the loop did not answer
  // within the time: the job is then answered, unseen, whenever it gets to it.
  bool runAdminJob(const std::shared_ptr<AdminJob>& job, int seconds);

  // The exit status the monitor asks for when it ended because no
  // application ran any more: 8 when any of them failed, else 0.
  int endStatus() const { return endStatus_; }

  static void setState(bool started);
  static bool isRunning();

  // ---- Configuration agent ----
  // The agent session: made if there is none / made anew (after a reload,
  // whose settings may name another agent). "error conect to agent" when
  // the agent cannot be reached; the callbacks and the next call try again.
  void connectToAgent();
  void reconnectToAgent();
  // Reads the agent's settings (bounded by AgentResponseTime each) and hands
  // the mail addresses to the notifications.
  void readConfigFromAgent();
  // The agent's address: in check-all mode the temporary agent's.
  std::string agentAddress() const;

  void setOwnPid(pid_t pid) { ownPid_ = pid; }
  pid_t ownPid() const { return ownPid_; }

  uid_t firstNotRootUid() const { return store_.firstNotRootUid(); }
  gid_t firstNotRootGid() const { return store_.firstNotRootGid(); }

  const MonitorConfReader& settings() const { return settings_; }
  RunAppStore& store() { return store_; }

  // Splits a hup file name (component "." pid ".hup") into its parts; the
  // directory part of path is ignored. False for any other form.
  static bool parseHupFileName(const std::string& path, std::string& component, pid_t& pid);

 protected:
  // The component's process has ended: its restart is scheduled.
  void componentDied(Application& app, Component& comp);
  // The answer of a starting component has arrived (or its time is up).
  void answerArrived(Application& app, Component& comp, bool timedOut);
  // Begins the restart tries that are due.
  void processDeferredEvents();
  // SIGHUP to the live owners of hup files whose pid is in the set.
  void hupFilePass(std::set<pid_t>& pids);
  // Copies the mail settings into the process-wide notification settings.
  void refreshNotifySettings();
  // ---- Configuration agent ----
  // The thread that tells the agent about starts and stops (not in check
  // runs, whose components do not stay).
  void startAgentNotifier();
  // Once the agent has answered: in enterprise mode its run list is applied
  // unless it equals current; a list that fails verification is logged and
  // left alone.
  void applyAgentRunList(const AppNameSet& current);
  // Called on the thread that owns the settings each time new ones
  // have been taken over (construction, reloads); overriders copy what other
  // threads read. Within this class's constructor only the empty one runs.
  virtual void settingsChanged() {}

 private:
  // What a watched descriptor stands for.
  struct Watch {
    Application* app;
    Component* comp;
    enum Kind { kAnswer, kOutput, kError, kEnd, kWake } kind;
  };

  void loadStore(RunAppStore& store);
  void applySettings();
  void computeRunAppSet(AppNameSet& set) const;
  void verifyRunSet(const AppNameSet& set);
  bool takeReloadRequest();
  void retryOrGiveUp(const DeferredEvent& event);
  void giveUp(const DeferredEvent& event);
  // Nothing runs or is about to start, and nothing is held down by the
  // administrator: the monitor has no more work.
  bool suiteEnded() const;
  void stopFaultyApps();
  void dropStaleRecoveries();
  static bool terminationPending();
  void serveAdminJobs();
  void finishAdminJob(const std::shared_ptr<AdminJob>& job, bool ok, const std::string& message);
  void beginAdminStart(const std::shared_ptr<AdminJob>& job);
  void fillStatus(AdminJob& job) const;
  void fillComponents(AdminJob& job) const;
  // Takes out of a run set what the administrator has stopped and whatever
  // needs it, so that a reload does not bring it back.
  void dropAdminStopped(AppNameSet& set) const;
  static void sendHup(pid_t pid, const std::string& name);

  const Clock& clock_;
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
  // A pipe in every turn's wait; a byte written to it ends the
  // wait early (requests from other threads). Non-blocking at both ends.
  norvak::base::UniqueFd wakeRead_;
  norvak::base::UniqueFd wakeWrite_;

  pid_t ownPid_ = -1;

  std::mutex adminMutex_;
  std::condition_variable adminCond_;
  std::deque<std::shared_ptr<AdminJob>> adminQueue_;
  // Main loop only: starts asked for and not yet over.
  std::vector<std::shared_ptr<AdminJob>> adminStarting_;
  AppNameSet adminStopped_;
  // Main loop only: a component was given up or ended other than cleanly.
  bool failed_ = false;
  std::atomic<int> endStatus_{0};

  // ---- Configuration agent ----
  // The link before the notifier, which uses it: the notifier goes first.
  AgentLink agent_;
  std::unique_ptr<AgentNotifier> notifier_;

  // Restarts spawned and waiting for their answer.
  std::vector<DeferredEvent> recovering_;

  // Reused by every turn so that a turn allocates nothing; pollFds_[i] is
  // watches_[i]. The pointers stay valid through a turn: components are
  // added and removed only by a reload, between turns.
  std::vector<pollfd> pollFds_;
  std::vector<Watch> watches_;
};

#endif  // NORVAK_MONITOR_MONITOR_H_
