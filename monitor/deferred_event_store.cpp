#include "monitor/deferred_event_store.h"

#include <algorithm>

#include "frame/log.h"

namespace {

// Earliest due on top of the std heap.
bool laterDue(const DeferredEvent& a, const DeferredEvent& b) { return a.due > b.due; }

}  // namespace

void DeferredEventStore::push(DeferredEvent event) {
  bool samePid = false;
  auto same = [&event, &samePid](const DeferredEvent& e) {
    if (!e.sameComponent(event)) return false;
    samePid = samePid || e.pid == event.pid;
    return true;
  };
  auto first = std::remove_if(heap_.begin(), heap_.end(), same);
  if (first != heap_.end()) {
    heap_.erase(first, heap_.end());
    std::make_heap(heap_.begin(), heap_.end(), laterDue);
    if (samePid)
      logAlert("equal pid error, pid=" + std::to_string(event.pid));
    else
      logAlert("equal component error, component=\"" + event.compName + "\" of \"" +
               event.appName + "\", pid=" + std::to_string(event.pid));
  }
  heap_.push_back(std::move(event));
  std::push_heap(heap_.begin(), heap_.end(), laterDue);
}

bool DeferredEventStore::nextDue(Clock::MonoTime& due) const {
  if (heap_.empty()) return false;
  due = heap_.front().due;
  return true;
}

bool DeferredEventStore::popDue(Clock::MonoTime now, DeferredEvent& out) {
  if (heap_.empty() || now < heap_.front().due) return false;
  std::pop_heap(heap_.begin(), heap_.end(), laterDue);
  out = std::move(heap_.back());
  heap_.pop_back();
  return true;
}

bool DeferredEventStore::dueFor(const std::string& appName, const std::string& compName,
                                Clock::MonoTime& due) const {
  for (const DeferredEvent& event : heap_) {
    if (event.isFor(appName, compName)) {
      due = event.due;
      return true;
    }
  }
  return false;
}
