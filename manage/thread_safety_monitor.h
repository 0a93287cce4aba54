#ifndef NORVAK_MANAGE_THREAD_SAFETY_MONITOR_H_
#define NORVAK_MANAGE_THREAD_SAFETY_MONITOR_H_

#include <sys/types.h>

#include <boost/thread/shared_mutex.hpp>
#include <set>
#include <stdexcept>
#include <string>

#include "monitor/monitor.h"

// The monitor as other threads may reach it. Request handlers run on the
// management server's threads while the monitor belongs to the main loop;
// they go through the process-wide Mediator only, which holds copies of the
// few settings they read, so that a handler never reads a setting while the
// main loop reloads it.
class ThreadSafetyMonitor : public Monitor {
 public:
  class Mediator {
   public:
    class Error : public std::logic_error {
     public:
      explicit Error(const std::string& what) : std::logic_error(what) {}
    };

    static Mediator& instance();

    // Throws Error "mediator re-initialization" while another monitor is
    // registered.
    void registerMonitor(ThreadSafetyMonitor* monitor);
    // Only the registered monitor unregisters itself.
    void unregisterMonitor(const ThreadSafetyMonitor* monitor);
    bool hasMonitor() const;

    // Copies from the registered monitor; another one's are ignored.
    void setSettings(const ThreadSafetyMonitor* from, const std::string& user,
                     const std::string& group, const std::string& mta,
                     const std::string& adminGroup);
    // Hands the pids to the monitor's changed-configuration set. The
    // mediator's lock is not held meanwhile: the monitor has its own mutex.
    // False when no monitor is registered.
    bool addChangedConf(const std::set<pid_t>& pids);

    std::string mta() const;
    std::string adminGroup() const;
    // "" when both are empty, else user ":" group.
    std::string userGroup() const;

   private:
    Mediator() = default;

    ThreadSafetyMonitor* monitor_ = nullptr;
    std::string user_;
    std::string group_;
    std::string mta_;
    std::string adminGroup_;
    mutable boost::shared_mutex lock_;
  };

  // Throws Mediator::Error when another monitor exists in the process.
  ThreadSafetyMonitor(const std::string& confFile, const std::string& runList, bool update,
                      const Clock& clock = Clock::system());
  ~ThreadSafetyMonitor() override;

  void reloadData() override;

 protected:
  void settingsChanged() override;

 private:
  void copySettings();
};

#endif  // NORVAK_MANAGE_THREAD_SAFETY_MONITOR_H_
