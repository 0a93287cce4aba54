#include "monitor/monitor.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frame/log.h"
#include "frame/process_state.h"
#include "frame/run_mode.h"
#include "frame/utils.h"
#include "monitor/application.h"
#include "monitor/component.h"
#include "notify/notify_info.h"

using norvak::base::UniqueFd;

const char* const Monitor::kAgentApp = "AGENT";
const char* const Monitor::kMaildApp = "MAILD";

namespace {

bool admitted(const AppNameSet& filter, const std::string& name) {
  return filter.empty() || filter.count(name) > 0;
}

}  // namespace

Monitor::Monitor(const std::string& confFile, const std::string& runList, bool update)
    : settings_(confFile), store_(update) {
  logDebug("Monitor::Monitor() confFile = " + confFile);
  if (!runList.empty()) {
    std::vector<std::string> names;
    Utils::splitBy(runList, ",", names);
    for (const std::string& name : names) cmdRunSet_.insert(name);
  }
  Monitor::reloadData();
  if (settings_.isEnterpriseMode()) cmdRunSet_.insert(kAgentApp);
  loadStore(store_);
}

Monitor::~Monitor() {
  logDebug("Monitor::~Monitor()");
  setState(false);
}

void Monitor::loadStore(RunAppStore& store) {
  store.load(settings_.getMetaConfigDir());
  store.setRegenerator(this);
}

void Monitor::setState(bool started) {
  ProcessState state = started ? STARTED : STOPPED;
  setProcessState(state);
  logDebug(std::string("Monitor::setState to ") + processStateName(state));
}

bool Monitor::isRunning() { return isProcessRunning(); }

std::string Monitor::logFileName() const {
  const std::string& type = settings_.getLogType();
  return type == "syslog" ? std::string() : type;
}

void Monitor::reloadData() {
  logDebug("Monitor::reloadData()");
  settings_.reload();
  std::string host;
  Utils::getHostName(host);
  NotifyInfo::instance().setIdentity(kProgramTitle, Utils::osName(), kProgramVersion, host,
                                     settings_.getRecoveryTimeList());
  events_.setTimeList(settings_.getRecoveryTimeList());
}

void Monitor::refreshNotifySettings() {
  NotifyInfo::instance().setAddresses(settings_.getFilterMail(), settings_.getAdminMail());
  setInjectCmd(settings_.getInjectCmd());
}

void Monitor::verifyRunSet(const AppNameSet& set) { store_.verify(set); }

void Monitor::getFirstRunAppSet(AppNameSet& set) {
  logDebug("Monitor::getFirstRunAppSet()");
  set.clear();
  try {
    if (settings_.isEnterpriseMode()) {
      set.insert(kAgentApp);
      verifyRunSet(set);
    } else {
      getRunAppSet(set);
    }
  } catch (const RunAppStore::VerifyError& e) {
    throw InitError(e.what());
  }
}

void Monitor::getRunAppSet(AppNameSet& set) {
  logDebug("Monitor::getRunAppSet()");
  set.clear();
  if (settings_.isEnterpriseMode()) {
    set = settings_.getAgentRunAppList();
    // Until the agent has answered there is nothing but the agent to run.
    if (set.empty()) set.insert(kAgentApp);
  } else if (!cmdRunSet_.empty()) {
    set = cmdRunSet_;
  } else {
    set = settings_.getRunAppList();
  }
  verifyRunSet(set);
}

void Monitor::start() {
  logDebug("Monitor::start()");
  setState(true);
  refreshNotifySettings();
  AppNameSet first;
  getFirstRunAppSet(first);
  store_.start(first, settings_.getAgentAddress(), settings_.getPidFileDir());

  AppNameSet started = store_.startedNames();
  bool any = false;
  for (const std::string& name : first) {
    if (started.count(name)) {
      any = true;
      break;
    }
  }
  if (!any) throw InitError("no applications started");

  AppNameSet full;
  getRunAppSet(full);
  if (full != first) store_.applyRunAppSet(full);
}

void Monitor::mainLoop() {
  logDebug("Monitor::mainLoop()");
  {
    std::lock_guard<std::mutex> lock(mainLoopMutex_);
    mainLoopRunning_ = true;
  }
  mainLoopCond_.notify_all();

  while (isRunning()) {
    try {
      bool reloadNow;
      {
        std::lock_guard<std::mutex> lock(reloadMutex_);
        reloadNow = reloadRequested_;
      }
      if (reloadNow) {
        reload();
        std::lock_guard<std::mutex> lock(reloadMutex_);
        reloadRequested_ = false;
      }
      waitManagementEvents(settings_.getMainLoopWait());
      if (isRunning()) processDeferredEvents(AppNameSet());
      int count = store_.runningCount();
      if (count > 0) {
        bool changed;
        {
          std::lock_guard<std::mutex> lock(changedConfMutex_);
          changed = !changedConf_.empty();
        }
        if (changed) changedConfReload();
      } else {
        logInfo(std::string("all applications have stoped, terminate ") + kProgramName +
                " application");
        kill(getpid(), SIGTERM);
      }
    } catch (const std::exception& e) {
      logError(std::string("internal error in main loop: ") + e.what());
    }
  }

  {
    std::lock_guard<std::mutex> lock(mainLoopMutex_);
    mainLoopRunning_ = false;
  }
  mainLoopCond_.notify_all();
}

void Monitor::waitManagementEvents(int timeoutSec) {
  // Every component start waits here too (regenerate), so this runs once per
  // start: the list comes straight from the components, and the store's
  // lookup index (a hash rebuild of every running component) is refreshed
  // only below, when some component has gone. Rebuilt on every wait it made
  // a mass start quadratic.
  fdList_.clear();
  store_.appendFds(fdList_);
  pollFds_.clear();
  for (int fd : fdList_) {
    if (fd > 0) pollFds_.push_back(pollfd{fd, POLLIN, 0});
  }
  // Handling a fault can start components, whose start waits here again: the
  // list being worked through must not be the one that such a wait refills.
  std::vector<int> gone;
  gone.swap(goneFds_);
  gone.clear();
  if (!pollFds_.empty() || timeoutSec > 0) {
    int ready;
    do {
      ready = poll(pollFds_.data(), pollFds_.size(), timeoutSec * 1000);
    } while (ready < 0 && errno == EINTR);
    if (ready > 0) {
      for (const pollfd& p : pollFds_) {
        if (p.revents == 0) continue;
        char buf[511];
        ssize_t n;
        do {
          n = read(p.fd, buf, sizeof buf);
        } while (n < 0 && errno == EINTR);
        if (n == 0) {
          gone.push_back(p.fd);
        } else if (n < 0) {
          logDebug("error reading from management descriptor " + std::to_string(p.fd) + ": " +
                   strerror(errno));
        } else {
          logDebug("error data in management descriptor " + std::to_string(p.fd) + ": " +
                   std::string(buf, n));
        }
      }
    }
  }

  time_t now = time(nullptr);
  if (isRunning() && !gone.empty()) {
    pollFds_.clear();
    store_.collectPollFds(pollFds_);
    handleGoneFds(gone, now);
  }
  gone.clear();
  goneFds_.swap(gone);  // keeps the capacity for the next turn
}

void Monitor::handleGoneFds(const std::vector<int>& gone, time_t now) {
  for (int fd : gone) {
    AppStore::FdOwner owner;
    if (!store_.findByFd(fd, owner)) {
      logError("internal error: pid error");
      continue;
    }
    if (!owner.appRunning) continue;
    DeferredEvent event(now, owner.pid, owner.appName, owner.compName);
    bool noTryLeft = false;
    try {
      events_.pushFault(event);
    } catch (const DeferredEventStore::TimeoutError&) {
      noTryLeft = true;
    }
    store_.componentFault(owner.pid, now);
    if (noTryLeft) store_.cannotRecover(owner.pid, now);
  }
}

bool Monitor::eventStillValid(const DeferredEvent& event) const {
  if (!event.hasNames()) return store_.holdsComponent(event.pid);
  AppStore::AppPtr app = store_.find(event.appName);
  if (!app) return false;
  for (const Component& comp : app->components()) {
    if (comp.name() != event.compName) continue;
    // The first try needs the death by a signal; a later one exists only
    // because such a death was followed by failed restarts, which gave the
    // component new pids.
    return event.tryNo > 1 || comp.signalledPid() == event.pid;
  }
  return false;
}

void Monitor::giveUp(const DeferredEvent& event) {
  if (!event.hasNames() ||
      !store_.cannotRecoverComponent(event.appName, event.compName, event.faultTime)) {
    store_.cannotRecover(event.pid, event.faultTime);
  }
  AppNameSet runSet;
  getRunAppSet(runSet);
  store_.stopFaultyApps(runSet);
}

void Monitor::processDeferredEvents(const AppNameSet& filter) {
  // Events of applications outside the filter are put back untouched: a
  // restart that a dependency's start merely looked past must not use up a
  // try of the component's schedule.
  std::vector<DeferredEvent> setAside;
  DeferredEvent event;
  while (isRunning() && events_.popDue(event)) {
    if (!filter.empty() && event.hasNames() && !admitted(filter, event.appName)) {
      setAside.push_back(event);
      continue;
    }
    if (!eventStillValid(event)) {
      AppNameSet runSet;
      getRunAppSet(runSet);
      store_.stopFaultyApps(runSet);
      continue;
    }
    bool recovered = event.hasNames()
                         ? store_.recoverComponent(event.appName, event.compName,
                                                   event.faultTime, event.tryNo, filter)
                         : store_.recover(event.pid, event.faultTime, event.tryNo, filter);
    if (recovered) continue;
    try {
      events_.pushFault(event);
    } catch (const DeferredEventStore::TimeoutError&) {
      giveUp(event);
    }
  }
  for (const DeferredEvent& e : setAside) events_.push(e);
}

bool Monitor::regenerate(const AppNameSet& names) {
  logDebug("Monitor::regenerate()");
  for (size_t i = 0; i < names.size(); ++i) {
    waitManagementEvents(0);
    processDeferredEvents(names);
  }
  return false;
}

void Monitor::appStarted(const Application& app) {
  if (appNameEqual(app.name(), kAgentApp)) return;
  logInfo("application \"" + app.name() + "\" started");
}

void Monitor::appStopped(const Application& app) {
  if (!isRunning() || appNameEqual(app.name(), kAgentApp)) return;
  logInfo("application \"" + app.name() + "\" stoped");
}

void Monitor::reload() {
  logDebug("Monitor::reload()");
  reloadData();
  try {
    RunAppStore fresh(store_.isUpdateMode());
    loadStore(fresh);
    AppNameSet full;
    getRunAppSet(full);
    store_.update(fresh, full);
  } catch (const std::exception& e) {
    logError(std::string("reload error: ") + e.what());
  }
  store_.signalAll(SIGHUP);
}

void Monitor::changedConfReload() {
  logDebug("Monitor::changedConfReload()");
  std::set<pid_t> pids;
  getChangedConf(pids);
  store_.signalPids(pids, SIGHUP);
  if (ownPid_ > 0 && pids.count(ownPid_)) {
    refreshNotifySettings();
    reload();
    pids.erase(ownPid_);
  }
  hupFilePass(pids);
}

bool Monitor::parseHupFileName(const std::string& path, std::string& component, pid_t& pid) {
  // Only the file's own name counts: a dot in the directory must not shift
  // the fields.
  std::string::size_type slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.size() <= 4) return false;
  std::string::size_type n = name.size() - 4;
  if (name[n] != '.') return false;
  std::string::size_type dot = name.rfind('.', n - 1);
  if (dot == std::string::npos) return false;
  int value = 0;
  if (sscanf(name.substr(dot + 1, n - dot - 1).c_str(), "%d", &value) != 1) return false;
  pid = value;
  component = name.substr(0, dot);
  return true;
}

void Monitor::sendHup(pid_t pid, const std::string& name) {
  logInfo("send HUP signal to component " + (name.empty() ? std::string() : "\"" + name + "\" ") +
          "with pid = " + std::to_string(pid));
  kill(pid, SIGHUP);
}

void Monitor::hupFilePass(std::set<pid_t>& pids) {
  std::vector<std::string> files;
  Utils::listFiles(settings_.getPidFileDir(), ".hup", files);
  for (const std::string& path : files) {
    int fd;
    do {
      fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      logAlert("error in open hup file \"" + path + "\":" + strerror(errno));
      continue;
    }
    UniqueFd file(fd);
    std::string component;
    pid_t pid = -1;
    if (!parseHupFileName(path, component, pid)) {
      logAlert("bad hup file format \"" + path + "\"");
      continue;
    }
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_pid = getpid();
    int rc;
    do {
      rc = fcntl(fd, F_SETLK, &lock);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) {
      logInfo("unlink not locked hup file \"" + path + "\"");
      if (unlink(path.c_str()) != 0) {
        logError("unlink error, file \"" + path + "\":" + strerror(errno));
      }
    } else if (pids.count(pid)) {
      sendHup(pid, component);
      pids.erase(pid);
    }
  }
}

void Monitor::reload(int, const std::string& name) {
  logInfo("Monitor::reload(): arrived " + name);
  std::lock_guard<std::mutex> lock(reloadMutex_);
  reloadRequested_ = true;
}

void Monitor::terminate(int, const std::string& name) {
  logInfo("Monitor::terminate(): arrived " + name);
  setState(false);
}

void Monitor::inform(int, const std::string& name) {
  logDebug("Monitor::inform(): arrived " + name);
}

void Monitor::addChangedConf(const std::set<pid_t>& pids) {
  logDebug("Monitor::addChangedConf()");
  std::lock_guard<std::mutex> lock(changedConfMutex_);
  changedConf_.insert(pids.begin(), pids.end());
}

void Monitor::getChangedConf(std::set<pid_t>& pids) {
  logDebug("Monitor::getChangedConf()");
  std::lock_guard<std::mutex> lock(changedConfMutex_);
  pids = changedConf_;
  changedConf_.clear();
}

void Monitor::stop() {
  logDebug("Monitor::stop()");
  std::unique_lock<std::mutex> lock(mainLoopMutex_);
  mainLoopCond_.wait(lock, [this] { return !mainLoopRunning_; });
  store_.stop();
}
