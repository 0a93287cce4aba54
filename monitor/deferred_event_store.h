#ifndef NORVAK_MONITOR_DEFERRED_EVENT_STORE_H_
#define NORVAK_MONITOR_DEFERRED_EVENT_STORE_H_

#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "monitor/deferred_event.h"

// The schedule of restart tries: a heap of pending events, earliest due on
// top, at most one per component. Used only by the main loop; no lock.
//
// The main loop's part, for a process found dead at `now`:
//   DeferredEvent ev(wallNow, monoNow, pid, appName, compName);
//   try { store.pushFault(ev); } catch (const DeferredEventStore::TimeoutError&) {
//     ... no try at all: report the component as not recoverable ...
//   }
// and on each pass, while popDue(monoNow, ev) gives an event: find the component by
// ev.appName / ev.compName (not by pid, which changes with every restart);
// at ev.tryNo == 1 check that ev.pid had been ended by a signal; restart it,
// and when the restart fails pushFault(ev) again, which throws TimeoutError
// once the recovery list is used up.
class DeferredEventStore {
 public:
  class TimeoutError : public std::logic_error {
   public:
    explicit TimeoutError(const std::string& what) : std::logic_error(what) {}
  };

  // The delays between tries, as configured: entry i is the wait before try
  // i + 1, counted from the previous try (try 1 from the fault). Events
  // already scheduled keep their due times.
  void setTimeList(const std::vector<int>& delays);

  // Schedules the try after event.tryNo: tryNo + 1, due at faultMono plus the
  // first tryNo + 1 delays. Throws TimeoutError when the list has no entry
  // for it.
  void pushFault(DeferredEvent event);
  // Inserts the event, replacing (with an alert) any pending event of the
  // same component.
  void push(DeferredEvent event);

  // Takes the earliest event if it is due (monoNow >= due).
  bool popDue(int64_t monoNow, DeferredEvent& out);
  // The earliest due time; false when nothing is pending.
  bool nextDue(int64_t& due) const;

  // The due time of the pending try for the component, if there is one.
  bool dueFor(const std::string& appName, const std::string& compName, int64_t& due) const;
  size_t size() const { return heap_.size(); }
  bool empty() const { return heap_.empty(); }

 private:
  std::vector<DeferredEvent> heap_;
  std::vector<int> delays_;
};

#endif  // NORVAK_MONITOR_DEFERRED_EVENT_STORE_H_
