#ifndef NORVAK_MONITOR_DEFERRED_EVENT_STORE_H_
#define NORVAK_MONITOR_DEFERRED_EVENT_STORE_H_

#include <string>
#include <vector>

#include "frame/clock.h"
#include "monitor/deferred_event.h"

// The schedule of restart tries: a heap of pending events, earliest due on
// top, at most one per component. When a try is due, and whether there is
// one, is the component's RecoveryPlan's to say; the store only keeps them
// in order. Used only by the main loop; no lock.
class DeferredEventStore {
 public:
  // Inserts the event, replacing (with an alert) any pending event of the
  // same component.
  void push(DeferredEvent event);

  // Takes the earliest event if it is due (now >= due).
  bool popDue(Clock::MonoTime now, DeferredEvent& out);
  // The earliest due time; false when nothing is pending.
  bool nextDue(Clock::MonoTime& due) const;

  // The due time of the pending try for the component, if there is one.
  bool dueFor(const std::string& appName, const std::string& compName,
              Clock::MonoTime& due) const;
  size_t size() const { return heap_.size(); }
  bool empty() const { return heap_.empty(); }

 private:
  std::vector<DeferredEvent> heap_;
};

#endif  // NORVAK_MONITOR_DEFERRED_EVENT_STORE_H_
