#ifndef NORVAK_MONITOR_MONITOR_H_
#define NORVAK_MONITOR_MONITOR_H_

#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/monitor_conf_reader.h"
#include "frame/app_name_less.h"
#include "frame/clock.h"
#include "frame/signal_executor.h"
#include "monitor/admin_requests.h"
#include "monitor/agent_port.h"
#include "monitor/application.h"
#include "monitor/deferred_event_store.h"
#include "monitor/figure_gatherer.h"
#include "monitor/process_watcher.h"
#include "monitor/recovery_plan.h"
#include "monitor/regenerator.h"
#include "monitor/run_app_store.h"
#include "monitor/suite_figures.h"

// The supervision core: owns the settings, the application store and the
// schedule of restarts; starts the run set, runs the supervision loop, reloads
// on request, and stops everything at the end.
//
// The loop is one Boost.Asio io_context (epoll, kqueue): each component's
// process registers its pipes, its pidfd and its timers there when it starts
// and drops them when it ends, and the monitor's own timers (the next restart
// try, the end of a minute of held-back mails) are armed only while something
// is due, so a wake-up costs what happened, not the size of the suite.
// SIGHUP, SIGTERM and SIGINT arrive as events of the same loop.
//
// Applications, components and the deferred events are touched only by the
// thread that runs the loop (start(), then mainLoop()); every other thread
// hands its work in through post(), the one way in.
class Monitor : public Regenerator, public SignalExecutor, public ProcessWatcher {
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

  // Runs the loop until the monitor stops.
  virtual void mainLoop();
  // Starts the first run set; throws InitError when none of it runs. Ends
  // early, without error, when a SIGTERM or SIGINT arrives meanwhile.
  virtual void start();
  // Waits for the main loop to end, then stops every application.
  virtual void stop();
  // The SIGHUP path, run by the loop. A failure anywhere leaves the
  // settings and the store as they were.
  virtual void reload();
  // The same; report tells what changed, or why nothing did (false).
  bool reloadWithReport(std::string& report);
  virtual void reloadData();
  // SIGHUP to the components with these pids, a reload when the monitor's
  // own pid is among them, and the hup-file pass for the rest.
  virtual void changedConfReload(std::set<pid_t> pids);

  // SignalExecutor: what the loop does with the signals.
  void reload(int signal, const std::string& name) override;
  void terminate(int signal, const std::string& name) override;
  void inform(int signal, const std::string& name) override;

  // ProcessWatcher
  boost::asio::io_context& loop() override;
  void processEvent(Application& app, Component& comp, ComponentProcess::Event event) override;

  void getFirstRunAppSet(AppNameSet& set);
  bool checkComponents(const AppNameSet& set) const { return store_.checkComponents(set); }
  void getRunAppSet(AppNameSet& set);

  // The inbox: from any thread, job runs on the loop's thread, in posting
  // order. Jobs posted once the loop has ended are dropped unrun.
  void post(std::function<void()> job);
  // From any thread: the loop ends (the state is STOPPED at once).
  void requestStop();
  // Posts the changed-configuration reload of these pids.
  void addChangedConf(const std::set<pid_t>& pids);
  // From any thread: reopens the log file by its name, after a rotation,
  // logging that it did so `cause`; no component is told. False, with the
  // reason logged and in failure, when it cannot be opened.
  static bool reopenLog(const std::string& cause, std::string* failure);

  // Tests and benches drive the loop themselves: runFor runs its handlers
  // for up to the time given; runDue does what the monitor's clock says is
  // due now (restart tries, held-back mails), as the loop's timers do.
  void runFor(std::chrono::milliseconds time);
  void runDue();

  // ---- Administrators' requests ----
  typedef ::AdminJob AdminJob;
  // From any thread but the loop's: the loop serves the job, this thread
  // waits. False when the loop did not answer within the time: the job is
  // then answered, unseen, whenever it gets to it.
  bool runAdminJob(const std::shared_ptr<AdminJob>& job, int seconds);

  // The exit status the monitor asks for when it ended because no
  // application ran any more: 8 when any of them failed, else 0.
  int endStatus() const { return endStatus_; }

  static void setState(bool started);
  static bool isRunning();

  // ---- Configuration agent ----
  // The agent's side, given before start(); without one the monitor runs
  // without an agent.
  void setAgent(std::unique_ptr<AgentPort> agent);
  // Where the agent is, in the agent's side. A session is made when first
  // needed ("error conect to agent" when the agent cannot be reached; the
  // callbacks and the next read try again).
  void connectToAgent();
  // Reads the agent's settings (bounded by AgentResponseTime each), blocking,
  // and hands the mail addresses to the notifications.
  void readConfigFromAgent();
  // The agent's address: in check-all mode the temporary agent's; empty
  // when the suite runs without an agent.
  std::string agentAddress() const;

  void setOwnPid(pid_t pid) { ownPid_ = pid; }
  pid_t ownPid() const { return ownPid_; }

  uid_t firstNotRootUid() const { return store_.firstNotRootUid(); }
  gid_t firstNotRootGid() const { return store_.firstNotRootGid(); }

  const MonitorConfReader& settings() const { return settings_; }
  RunAppStore& store() { return store_; }

  // The numbers of the suite and of the monitor as they are now; on the
  // loop's thread (or before it runs). Their moments are clock()'s.
  void figures(SuiteFigures& out);
  const Clock& clock() const { return clock_; }

  // Splits a hup file name (component "." pid ".hup") into its parts; the
  // directory part of path is ignored. False for any other form.
  static bool parseHupFileName(const std::string& path, std::string& component, pid_t& pid);

 protected:
  // The component's process has ended: its restart is scheduled.
  void componentDied(Application& app, Component& comp);
  // The answer of a starting component has arrived (or its time is up).
  // The restart try this component's start belongs to, taken out of the
  // ones waiting for an answer; none for a start of another kind.
  std::optional<DeferredEvent> takeRecovery(const Application& app, const Component& comp);
  void answerArrived(Application& app, Component& comp, bool timedOut);
  // The start of a component whose bad answer's process was being stopped
  // has ended so.
  void startEnded(Application& app, Component& comp, Application::CompStart outcome);
  void recoveryOutcome(Application& app, Component& comp, const DeferredEvent& event,
                       Application::CompStart outcome);
  // Begins the restart tries that are due.
  void processDeferredEvents();
  // SIGHUP to the live owners of hup files whose pid is in the set.
  void hupFilePass(std::set<pid_t>& pids);
  // An administrator's reload of pids (AdminJob::kReload), answered.
  void answeredReload(const std::shared_ptr<AdminJob>& job);
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
  // A reload's reconnection and read, off the loop.
  void readAgentAfterReload(const AppNameSet& full);
  // The agent's side, unless the settings name no agent.
  AgentPort* agent() const;
  // Called on the thread that owns the settings each time new ones
  // have been taken over (construction, reloads); overriders copy what other
  // threads read. Within this class's constructor only the empty one runs.
  virtual void settingsChanged() {}
  // On the loop, after every event that may have changed what figures()
  // answers; bursts call it once per event, so overriders coalesce.
  virtual void suiteChanged() {}

 private:
  struct Loop;

  void loadStore(RunAppStore& store);
  // Makes the cgroup tree ready when components of the store ask for a
  // memory ceiling, or says once why their ceilings are not kept.
  void prepareMemoryCeilings(const RunAppStore& store);
  void applySettings();
  void computeRunAppSet(AppNameSet& set) const;
  void verifyRunSet(const AppNameSet& set);
  void retryOrGiveUp(const DeferredEvent& event);
  // The component's restart policy, made on its first death.
  RecoveryPlan& planFor(const std::string& appName, const std::string& compName);
  // Puts the plan's pending try into the schedule.
  void schedule(DeferredEvent event, const RecoveryPlan& plan);
  void giveUp(const DeferredEvent& event);
  // Nothing runs or is about to start, and nothing is held down by the
  // administrator: the monitor has no more work.
  bool suiteEnded() const;
  void stopFaultyApps();
  void dropStaleRecoveries();
  // Runs one handler of the loop (waiting for one if need be), with the
  // loop's signals let through to this thread meanwhile.
  void runOne();
  // Takes the loop's signals from now on.
  void listenSignals();
  // Moves the queued starts on, completes the administrators' starts that
  // are over and re-arms the monitor's timers; after every event.
  void afterEvent();
  void armTimers();
  // When the suite has ended (suiteEnded) the monitor ends.
  void endIfNothingRuns();
  // The service manager's status line and watchdog.
  void reportRunning() const;
  void armWatchdog();

  const Clock& clock_;
  // Before the store: the processes' registrations go before their loop.
  std::unique_ptr<Loop> loop_;
  MonitorConfReader settings_;
  RunAppStore store_;
  AppNameSet cmdRunSet_;
  DeferredEventStore events_;

  std::mutex mainLoopMutex_;
  std::condition_variable mainLoopCond_;
  bool mainLoopRunning_ = false;

  // A SIGHUP during the start is taken up once the main loop runs.
  bool reloadRequested_ = false;
  bool endCheckPosted_ = false;

  pid_t ownPid_ = -1;

  AdminRequests admin_;
  // A component was given up or ended other than cleanly.
  bool failed_ = false;
  std::atomic<int> endStatus_{0};

  // ---- Configuration agent ----
  std::unique_ptr<AgentPort> agent_;
  // Counts the reloads' reads; the last one asked for is the one taken over.
  uint64_t agentReads_ = 0;

  // Restarts spawned and waiting for their answer.
  std::vector<DeferredEvent> recovering_;
  // By application (any case), then component.
  std::map<std::string, std::map<std::string, RecoveryPlan>, AppNameLess> plans_;
  RecoveryPlan::Settings planSettings_;

  FigureGatherer gatherer_;
  Clock::MonoTime startedAt_;
  uint64_t reloads_ = 0;
  uint64_t reloadErrors_ = 0;

};

#endif  // NORVAK_MONITOR_MONITOR_H_
