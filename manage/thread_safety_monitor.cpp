#include "manage/thread_safety_monitor.h"

#include <mutex>
#include <shared_mutex>

#include "frame/log.h"

using ReadLock = std::shared_lock<boost::shared_mutex>;
using WriteLock = std::unique_lock<boost::shared_mutex>;

ThreadSafetyMonitor::Mediator& ThreadSafetyMonitor::Mediator::instance() {
  // Never destroyed: a request thread may still ask while the process exits.
  static Mediator* mediator = new Mediator;
  return *mediator;
}

void ThreadSafetyMonitor::Mediator::registerMonitor(ThreadSafetyMonitor* monitor) {
  // Tested under the lock that writes the pointer: two monitors built at
  // once must not both get in.
  WriteLock lock(lock_);
  if (monitor_ != nullptr) throw Error("mediator re-initialization");
  monitor_ = monitor;
}

void ThreadSafetyMonitor::Mediator::unregisterMonitor(const ThreadSafetyMonitor* monitor) {
  WriteLock lock(lock_);
  if (monitor_ != monitor) return;
  monitor_ = nullptr;
  user_.clear();
  group_.clear();
  mta_.clear();
}

bool ThreadSafetyMonitor::Mediator::hasMonitor() const {
  ReadLock lock(lock_);
  return monitor_ != nullptr;
}

void ThreadSafetyMonitor::Mediator::setSettings(const ThreadSafetyMonitor* from,
                                                const std::string& user, const std::string& group,
                                                const std::string& mta,
                                                const std::string& adminGroup) {
  WriteLock lock(lock_);
  if (from != monitor_) return;
  user_ = user;
  group_ = group;
  mta_ = mta;
  adminGroup_ = adminGroup;
}

bool ThreadSafetyMonitor::Mediator::addChangedConf(const std::set<pid_t>& pids) {
  ThreadSafetyMonitor* monitor;
  {
    ReadLock lock(lock_);
    monitor = monitor_;
  }
  // The monitor outlives every request thread: the server joins them before
  // the monitor unregisters.
  if (monitor == nullptr) return false;
  monitor->addChangedConf(pids);
  return true;
}

std::string ThreadSafetyMonitor::Mediator::mta() const {
  ReadLock lock(lock_);
  return mta_;
}

std::string ThreadSafetyMonitor::Mediator::adminGroup() const {
  ReadLock lock(lock_);
  return adminGroup_;
}

std::string ThreadSafetyMonitor::Mediator::userGroup() const {
  ReadLock lock(lock_);
  if (user_.empty() && group_.empty()) return std::string();
  return user_ + ":" + group_;
}

ThreadSafetyMonitor::ThreadSafetyMonitor(const std::string& confFile, const std::string& runList,
                                         bool update, const Clock& clock)
    : Monitor(confFile, runList, update, clock) {
  Mediator::instance().registerMonitor(this);
  copySettings();
}

ThreadSafetyMonitor::~ThreadSafetyMonitor() {
  logDebug("ThreadSafetyMonitor::~ThreadSafetyMonitor()");
  Mediator::instance().unregisterMonitor(this);
}

void ThreadSafetyMonitor::reloadData() {
  logDebug("ThreadSafetyMonitor::reloadData()");
  Monitor::reloadData();
}

void ThreadSafetyMonitor::settingsChanged() { copySettings(); }

void ThreadSafetyMonitor::copySettings() {
  const MonitorConfReader& s = settings();
  Mediator::instance().setSettings(this, s.getUser(), s.getGroup(), s.getMta(), s.getAdminGroup());
}
