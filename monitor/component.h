#ifndef NORVAK_MONITOR_COMPONENT_H_
#define NORVAK_MONITOR_COMPONENT_H_

#include <sys/types.h>
#include <time.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "ipc/nk_unique_fd.h"

class CompStrategy;
class Informer;

// One supervised program: its definition from the meta-configuration and,
// while it runs, its process. The process keeps the write end of the start
// pipe as its standard output; the read end (fd) stays here so that end of
// file on it tells the monitor that the process has gone.
//
// Used only from the thread that drives the application store; no locks.
class Component {
 public:
  // The process ended by itself (normal exit) instead of answering.
  class StopedHimself : public std::runtime_error {
   public:
    StopedHimself() : std::runtime_error("component stoped himself") {}
  };
  // Misuse of a component; a stop inside fault() that raises it counts as a
  // component that stopped by itself.
  class ComponentError : public std::logic_error {
   public:
    explicit ComponentError(const std::string& what) : std::logic_error(what) {}
  };

  static const int kLogTypeLog = 1;
  static const int kLogTypeMail = 2;
  static const int kLogTypeCommand = 3;

  explicit Component(const std::string& name);
  // Copies the definition only: the copy has no process, no descriptor and no
  // informer. Stores copy definitions from freshly loaded stores this way.
  Component(const Component& other);
  Component(Component&& other) noexcept;
  Component& operator=(Component&& other) noexcept;
  Component& operator=(const Component&) = delete;
  ~Component();

  // Definition (filled by the meta-configuration reader).
  const std::string& name() const { return name_; }
  const std::string& argv() const { return argv_; }
  const std::string& user() const { return user_; }
  const std::string& group() const { return group_; }
  int timeStart() const { return timeStart_; }
  int timeStop() const { return timeStop_; }
  int logType() const { return logType_; }
  const std::string& cmd() const { return cmd_; }
  bool isAgent() const { return agent_; }
  void setArgv(const std::string& argv) { argv_ = argv; }
  void setUser(const std::string& user) { user_ = user; }
  void setGroup(const std::string& group) { group_ = group; }
  void setTimeStart(int seconds) { timeStart_ = seconds; }
  void setTimeStop(int seconds) { timeStop_ = seconds; }
  void setLogType(int logType) { logType_ = logType; }
  void setCmd(const std::string& cmd) { cmd_ = cmd; }
  void setAgent(bool agent) { agent_ = agent; }
  // user + ":" + group
  std::string permissions() const { return user_ + ":" + group_; }
  // "LOG", "MAIL", or the command in double quotes.
  std::string logTypeText() const;
  // Lookups of user and group; throw Utils::error when the name is unknown,
  // 0 for an empty name.
  uid_t uid() const;
  gid_t gid() const;

  // Runtime state.
  int fd() const { return fd_.get(); }
  pid_t pid() const { return pid_; }
  bool running() const { return running_; }
  pid_t signalledPid() const { return signalledPid_; }
  // Read end of the standard-error pipe of a check-all start, or -1.
  int diagFd() const { return diagFd_.get(); }
  const Informer* informer() const { return informer_.get(); }

  // Rebuilds the informer from logType and cmd; called before every start.
  void createInformer();

  // Start with the one-byte answer. faultTime > 0 marks a recovery start,
  // which sends the recovery report. Throws std::runtime_error (with the
  // reason), StopedHimself, or std::logic_error for a double start.
  void startStandart(CompStrategy& strategy, const std::string& dir, time_t faultTime, int tryNo,
                     const std::string& appName);
  // Check-all start: echoes the program's findings on standard error and sets
  // the check error flag unless it answers "Options OK". Leaves running set.
  void startCheckOnly(CompStrategy& strategy, const std::string& dir);

  // Returns true when the process ended by a normal exit.
  bool stop(bool fault);
  bool stopPid(pid_t pid);

  // Handles the end of process `pid` if it is this component's. Returns true
  // when the process had stopped by itself (no report sent).
  bool fault(pid_t pid, time_t faultTime, const std::string& appName, const std::string& dir,
             const std::vector<std::string>& affectedApps);
  void cannotRecover(time_t faultTime, const std::string& appName, const std::string& dir);

  void sendSignal(int sig);
  // Sends sig if pid is listed, removing it from the list.
  void signalIfListed(std::set<pid_t>& pids, int sig);
  // Appends fd when the component runs; returns whether it did.
  bool collectFd(std::vector<int>& fds) const;

  // Takes over a newer definition. True when the running process no longer
  // matches it and has to be restarted.
  bool reconfigure(const Component& newDef);

  // Debug description line.
  void describe() const;
  // Appends the <comp .../> element; withFdPid adds fd and pid.
  void statusDump(bool withFdPid, std::string& out) const;
  // Hands text to the informer, logging when nobody takes it.
  void inform(const std::string& text);

 private:
  // Guards against double starts and runs the process start; the name
  // stands for the guarded start (the unguarded one is startComp).
  void startGuarded(CompStrategy& strategy, const std::string& dir);
  bool startComp(CompStrategy& strategy, const std::string& dir, bool withDiag);
  void readAnswer(time_t faultTime, int tryNo, const std::string& appName,
                  const std::string& dir);
  void checkShakeHands();
  void checkExit();
  void closeDescriptors();

  std::string name_;
  std::string argv_;
  std::string user_;
  std::string group_;
  int timeStart_ = 30;
  int timeStop_ = 30;
  int logType_ = kLogTypeMail;
  std::string cmd_;
  std::unique_ptr<Informer> informer_;
  norvak::base::UniqueFd fd_;
  pid_t pid_ = -1;
  bool running_ = false;
  pid_t signalledPid_ = -1;
  bool agent_ = false;
  norvak::base::UniqueFd diagFd_;
  // Answer descriptor of a start that has not been accepted yet.
  norvak::base::UniqueFd pendingFd_;
};

#endif  // NORVAK_MONITOR_COMPONENT_H_
