#ifndef NORVAK_MONITOR_HEALTH_PROBE_H_
#define NORVAK_MONITOR_HEALTH_PROBE_H_

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "monitor/health_def.h"

namespace boost {
namespace asio {
class io_context;
}  // namespace asio
}  // namespace boost

// What the administrators' status shows of one check.
struct HealthResult {
  std::string check;      // the check's label, or "watchdog"
  std::string result;     // "ok", "failed", or "pending" before the first
  time_t time = 0;        // of the last result
  int failures = 0;       // in a row
  std::string error;      // of the last failure
};

// The periodic check of one running component (TCP connect or a program),
// on the supervision loop: nothing in it blocks. A TCP check is a
// non-blocking connect with a timer; a program is a child of its own session
// with a deadline, its group killed at the time-out and always reaped. A
// check never overlaps itself: the next one starts an interval after the
// start of the last, or at its end when it took longer. The first one runs
// an interval after the start, giving the program time to open its port.
//
// After `retries` failures in a row `failed` is called once and checking
// ends. Handlers hold the probe weakly; stop() (or dropping it) ends
// everything, a running check program included.
class HealthProbe : public std::enable_shared_from_this<HealthProbe> {
 public:
  typedef std::function<void()> Failed;

  // The program runs as uid/gid (0: the monitor's own identity).
  static std::shared_ptr<HealthProbe> start(boost::asio::io_context& loop, const HealthDef& def,
                                            uid_t uid, gid_t gid, Failed failed);
  ~HealthProbe();
  HealthProbe(const HealthProbe&) = delete;
  HealthProbe& operator=(const HealthProbe&) = delete;

  void stop();
  const HealthResult& result() const { return result_; }
  // The failure that ended the checking, for the reports.
  std::string cause() const;

 private:
  struct Run;
  HealthProbe(boost::asio::io_context& loop, const HealthDef& def, uid_t uid, gid_t gid,
              Failed failed);
  void schedule(std::chrono::milliseconds after);
  void begin();
  void beginTcp();
  void connect(const std::shared_ptr<Run>& run);
  void beginExec();
  void awaitExit(const std::shared_ptr<Run>& run);
  void finish(const std::shared_ptr<Run>& run, bool ok, const std::string& error);

  boost::asio::io_context& loop_;
  HealthDef def_;
  uid_t uid_;
  gid_t gid_;
  Failed failed_;
  bool stopped_ = false;
  std::shared_ptr<Run> run_;   // the check in progress, or null
  struct Timer;
  std::unique_ptr<Timer> next_;
  HealthResult result_;
};

#endif  // NORVAK_MONITOR_HEALTH_PROBE_H_
