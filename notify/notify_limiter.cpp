#include "notify/notify_limiter.h"

#include <algorithm>
#include <utility>

#include "frame/log.h"
#include "notify/delivery_threads.h"
#include "notify/mail_text.h"

NotifyLimiter::NotifyLimiter(const Clock& clock, DroppedCount dropped)
    : clock_(clock), droppedCount_(dropped ? std::move(dropped) : &DeliveryThreads::dropped) {}

NotifyLimiter& NotifyLimiter::instance() {
  // Never destroyed: delivery threads may still be finishing while the
  // process runs its exit handlers.
  static NotifyLimiter* limiter = new NotifyLimiter(Clock::system());
  return *limiter;
}

void NotifyLimiter::setLimit(int perMinute) {
  std::lock_guard<std::mutex> lock(mutex_);
  limit_ = std::max(perMinute, 1);
}

int NotifyLimiter::limit() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return limit_;
}

bool NotifyLimiter::admit(const std::string& name, const Route& route) {
  const Clock::MonoTime now = clock_.monoNow();
  const uint64_t dropped = droppedCount_();
  Owed owed;
  bool send;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    owed = takeOwed(now, dropped);
    if (!open_) {
      open_ = true;
      start_ = now;
      startWall_ = clock_.wallNow();
      sent_ = 0;
    }
    send = sent_ < limit_;
    if (send) {
      ++sent_;
      ++totals_.sent;
    } else {
      ++totals_.heldBack;
      if (heldTotal_++ == 0) summaryRoute_ = route;
      ++heldBack_[name];
    }
  }
  // The summary before the notification that ended its minute.
  pay(owed);
  if (!send) logDebug("notification about \"" + name + "\" held back");
  return send;
}

NotifyLimiter::Totals NotifyLimiter::totals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return totals_;
}

void NotifyLimiter::flush(Clock::MonoTime now) {
  const uint64_t dropped = droppedCount_();
  Owed owed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    owed = takeOwed(now, dropped);
  }
  pay(owed);
}

bool NotifyLimiter::due(Clock::MonoTime* at) const {
  const uint64_t dropped = droppedCount_();
  std::lock_guard<std::mutex> lock(mutex_);
  bool any = false;
  auto earliest = [&](Clock::MonoTime t) {
    *at = any ? std::min(*at, t) : t;
    any = true;
  };
  if (open_ && heldTotal_ > 0) earliest(start_ + kMinute);
  if (dropped > droppedLogged_)
    earliest(droppedAlerted_ ? lastDroppedAlert_ + kMinute : Clock::MonoTime());
  return any;
}

NotifyLimiter::Owed NotifyLimiter::takeOwed(Clock::MonoTime now, uint64_t dropped) {
  Owed owed;
  if (open_ && now >= start_ + kMinute) {
    open_ = false;
    if (heldTotal_ > 0) {
      owed.heldBack.swap(heldBack_);
      owed.heldTotal = heldTotal_;
      owed.limit = limit_;
      owed.since = startWall_;
      owed.route = std::move(summaryRoute_);
    }
    heldBack_.clear();
    heldTotal_ = 0;
    summaryRoute_ = nullptr;
  }
  if (dropped > droppedLogged_ && (!droppedAlerted_ || now >= lastDroppedAlert_ + kMinute)) {
    owed.dropped = dropped - droppedLogged_;
    droppedLogged_ = dropped;
    droppedAlerted_ = true;
    lastDroppedAlert_ = now;
  }
  return owed;
}

void NotifyLimiter::pay(const Owed& owed) {
  if (owed.dropped > 0)
    logAlert(std::to_string(owed.dropped) +
             " notification(s) dropped: the delivery queue was full (" +
             std::to_string(DeliveryThreads::kMaxWaiting) + " waiting)");
  if (owed.heldTotal == 0) return;
  // Logged as well: the summary may be held up or lost with the mails.
  std::string counts;
  for (const auto& held : owed.heldBack)
    counts += (counts.empty() ? "\"" : ", \"") + held.first + "\" " + std::to_string(held.second);
  logAlert(std::to_string(owed.heldTotal) + " notification(s) over the limit of " +
           std::to_string(owed.limit) + " a minute held back: " + counts);
  const std::string summary = composeHeldBackMail(owed.heldBack, owed.limit, owed.since);
  if (!owed.route || !owed.route(summary)) logError("cannot inform. Message=" + summary);
}
