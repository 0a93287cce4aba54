#ifndef NORVAK_MONITOR_APPLICATION_H_
#define NORVAK_MONITOR_APPLICATION_H_

#include <sys/types.h>
#include <time.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "frame/app_name_less.h"
#include "frame/clock.h"
#include "monitor/component.h"

class CompStrategy;
class ProcessWatcher;
class Regenerator;

// A named group of components that start together in list order and stop
// together in reverse order, after the applications it depends on.
//
// A start is a sequence that the supervision loop advances: each component
// is started, its answer arrives later (advanceStart/answerArrived), and only
// then does the next one start, so that the loop keeps noticing deaths and
// running restarts while a component is still answering. start() drives the
// same sequence to its end for callers that may block (check modes, tests).
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
  // Under supervision: every process started from now on registers with the
  // watcher's loop, and its events go to the watcher.
  void setWatcher(ProcessWatcher* watcher) { watcher_ = watcher; }

  // Set from the beginning of start() until stop().
  bool isRunning() const { return running_; }
  // Every component runs.
  bool isStarted() const;
  bool dependsOn(const std::string& name) const;
  // Some component is not running, and no start sequence is still at work
  // on it (a component waiting for its answer or a retry has not failed).
  bool hasFailedComponent() const;
  Component* findComponent(const std::string& name);

  // The start sequence.
  enum class StartState { kIdle, kActive, kDone, kFailed };
  // kPending: the bad answer's process is being stopped; the outcome comes
  // with componentStopped.
  enum class CompStart { kAnswered, kFailed, kStoppedHimself, kPending };
  // Begins the sequence with the strategy, which must outlive it; components
  // still running from an earlier start are kept as they are.
  void beginStart(CompStrategy& strategy);
  // Starts the next component when nothing is in flight. On failure the
  // components started so far are stopped again.
  StartState advanceStart(Clock::MonoTime now);
  // The answer of the component in flight has arrived (or its time is up).
  StartState answerArrived(Component& comp, bool timedOut, Clock::MonoTime now);
  StartState startState() const { return startState_; }
  // The component whose answer the sequence waits for, if any.
  Component* startInFlight();
  // Why the last start sequence failed (the first cause noted), for the
  // administrator; cleared when a sequence begins. note keeps the first
  // cause of a sequence; set replaces it (a start refused before it began).
  const std::string& startFailure() const { return startFailure_; }
  void noteStartFailure(const std::string& cause);
  void setStartFailure(const std::string& cause) { startFailure_ = cause; }

  // Starts the components in order, blocking until the sequence ends. On
  // failure the components started so far are stopped again.
  bool start(CompStrategy& strategy);
  // Blocks until the sequence can move on: hands over the answer in flight
  // (or its time-out).
  void awaitStep(const Clock& clock);
  // Completes the start of one component, logging the outcome.
  CompStart finishStart(Component& comp, bool timedOut, const CompStrategy& strategy);

  // Stops the components in reverse order, each once the one after it has
  // ended; then the application counts as stopped and done runs. Under a
  // watcher the stop moves on from the loop's events (componentStopped),
  // so beginStop returns at once; otherwise it ends before beginStop
  // returns. The running flag is cleared at the beginning.
  void beginStop(std::function<void()> done = nullptr);
  // The blocking stop: the same steps, waiting for each process.
  void stop();
  // Between beginStop and the end of its last component.
  bool isStopping() const { return stop_.whole; }
  // The stop of this component's process has ended (under a watcher). True
  // when that stop undid a start, whose outcome is then in *outcome.
  bool componentStopped(Component& comp, CompStart* outcome = nullptr);
  // The outcome of the start of comp, known only now: the sequence moves on
  // if comp is the component it waits for.
  StartState startOutcome(Component& comp, CompStart outcome, Clock::MonoTime now);

  // Spawns the restart of one component; its answer is read by
  // finishStart. False (logged) when it cannot be spawned.
  bool beginRecovery(Component& comp, Clock::MonoTime now);
  // The recovery report and the agent's dependents, once a restarted
  // component has answered.
  // abortive: when the tries before the one that answered were made.
  void recovered(Component& comp, time_t faultTime, const std::vector<time_t>& abortive,
                 time_t now);
  // The end of the component's process; dependents are the applications that
  // the failure may affect. False when the application is not running.
  bool componentFault(Component& comp, time_t faultTime,
                      const std::vector<std::string>& dependents);
  void cannotRecover(Component& comp, time_t faultTime, const std::vector<time_t>& attempts);

  void sendSignal(int sig);
  void signalPids(std::set<pid_t> pids, int sig);

  // Takes over a newer definition of the same application. True when
  // something that matters to the running processes changed. Components that
  // have to be (re)started are left to a start sequence: needsStart() tells.
  bool reconfig(const Application& newDef);
  bool needsStart() const { return needsStart_; }
  // What the last reconfig changed, as the administrator is told; empty
  // when nothing did.
  const std::vector<std::string>& reconfigNotes() const { return notes_; }
  void reconfigDeps(const AppNameSet& newDeps);
  bool reconfigComponents(const Application& newDef);

  // Debug listing, written only when debug records are.
  void debugDump() const;
  // Appends the <app ...> element; withFdPid adds each component's fd and pid.
  void statusDump(bool withFdPid, std::string& out) const;

 private:
  std::string label(const Component& comp) const;
  // Puts the component's process under the watcher, if there is one.
  void watch(Component& comp);
  // A failed start stops the components started so far, from `failed` down.
  void stopFrom(size_t failed);
  // Moves the stop in progress on; false while a component's end is awaited.
  bool continueStop();
  StartState startFailed();
  // Moves the sequence on after one component's outcome.
  StartState onOutcome(CompStart outcome, Clock::MonoTime now);

  std::string name_;
  std::string fullName_;
  std::string path_;
  AppNameSet dependencies_;
  std::vector<Component> components_;
  // Deleted by a reload, their processes still stopping.
  std::vector<Component> retired_;
  Regenerator* regenerator_ = nullptr;
  ProcessWatcher* watcher_ = nullptr;
  bool running_ = false;
  bool needsStart_ = false;
  std::vector<std::string> notes_;
  std::string startFailure_;

  // The stop in progress: the whole application's, or that of what a failed
  // start had started; `next` counts the components still to go.
  struct StopState {
    bool whole = false;
    bool partial = false;
    bool fault = false;
    size_t next = 0;
    std::function<void()> done;
  } stop_;

  StartState startState_ = StartState::kIdle;
  CompStrategy* strategy_ = nullptr;
  size_t next_ = 0;  // the component the sequence is at
};

#endif  // NORVAK_MONITOR_APPLICATION_H_
