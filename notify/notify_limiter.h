#ifndef NORVAK_MONITOR_NOTIFY_LIMITER_H_
#define NORVAK_MONITOR_NOTIFY_LIMITER_H_

#include <time.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "frame/clock.h"

// Keeps a failure storm from becoming a mail storm. The notifications that
// reach the delivery threads (mails and commands; the log is not limited)
// are at most limit() a minute in all; the others are held back and counted
// by component. A minute opens with the first notification after the
// previous one ended. When a minute in which some were held back has ended,
// one summary goes out on the path of the first one held back, so to the
// same recipient, naming the counts.
//
// No thread of its own: a minute's end is noticed by the next admit() or by
// flush(), which the main loop calls when it has nothing else to do (due()
// tells it when). Deliveries dropped by the full delivery queue are logged
// here too, once a minute at most. All calls may come from any thread.
class NotifyLimiter {
 public:
  static constexpr int kDefaultLimit = 30;
  static constexpr std::chrono::seconds kMinute{60};

  // Hands a text to a notification's delivery, bypassing the limit; false
  // when it was not handed on.
  using Route = std::function<bool(const std::string& text)>;
  // The deliveries dropped so far (DeliveryThreads::dropped by default).
  using DroppedCount = std::function<uint64_t()>;

  explicit NotifyLimiter(const Clock& clock, DroppedCount dropped = nullptr);
  NotifyLimiter(const NotifyLimiter&) = delete;
  NotifyLimiter& operator=(const NotifyLimiter&) = delete;

  // The process's own, on the system clock.
  static NotifyLimiter& instance();

  // Notifications a minute, 1 at least; from /Monitor/MailsPerMinute on
  // every reload. A change counts from the current minute on.
  void setLimit(int perMinute);
  int limit() const;

  // Decides one notification about component `name`: true to send it now,
  // false when it is held back. route is where a summary of this minute
  // could go. The summary of a minute that has ended goes out first.
  bool admit(const std::string& name, const Route& route);

  // Since the process began: notifications let through, and held back.
  struct Totals {
    uint64_t sent = 0;
    uint64_t heldBack = 0;
  };
  Totals totals() const;

  // Sends what the minutes ended by `now` owe: the summary, the dropped
  // count. Cheap when nothing is owed. For the main loop's idle turns, so
  // that a summary does not wait for the next notification.
  void flush(Clock::MonoTime now);
  // True when flush() will have something to send, from *at on (a time
  // past: at once); a loop that sleeps can wake for it.
  bool due(Clock::MonoTime* at) const;

 private:
  // What the minutes that ended owe, taken under the mutex and paid
  // outside it.
  struct Owed {
    std::map<std::string, int> heldBack;
    int heldTotal = 0;
    int limit = 0;
    time_t since = 0;
    Route route;
    uint64_t dropped = 0;
  };

  Owed takeOwed(Clock::MonoTime now, uint64_t dropped);  // under mutex_
  static void pay(const Owed& owed);

  const Clock& clock_;
  DroppedCount droppedCount_;
  mutable std::mutex mutex_;
  int limit_ = kDefaultLimit;
  bool open_ = false;  // a minute runs from start_
  Clock::MonoTime start_;
  time_t startWall_ = 0;
  int sent_ = 0;
  std::map<std::string, int> heldBack_;
  int heldTotal_ = 0;
  Route summaryRoute_;
  Totals totals_;
  uint64_t droppedLogged_ = 0;
  bool droppedAlerted_ = false;  // lastDroppedAlert_ is set
  Clock::MonoTime lastDroppedAlert_;
};

#endif  // NORVAK_MONITOR_NOTIFY_LIMITER_H_
