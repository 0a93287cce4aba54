#include "nk_multi_event.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "nk_exception.h"
#include "nk_log.h"

namespace norvak {
namespace ipc {

NkMultiEvent::Waiter::Waiter(NkMultiEvent& event) : event_(event) {
  std::lock_guard<std::mutex> lock(event_.mutex_);
  event_.waiters_.push_back(this);
}

NkMultiEvent::Waiter::Waiter(NkMultiEvent& event, int wake_fd) : event_(event), wake_fd_(wake_fd) {
  std::lock_guard<std::mutex> lock(event_.mutex_);
  event_.waiters_.push_back(this);
}

void NkMultiEvent::Waiter::Notify() {
  cond_.notify_one();
  if (wake_fd_ >= 0) {
    const uint64_t one = 1;
    // A full counter already wakes the poller; nothing else can fail here.
    while (write(wake_fd_, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
  }
}

NkMultiEvent::Waiter::~Waiter() {
  std::lock_guard<std::mutex> lock(event_.mutex_);
  event_.waiters_.remove(this);
  for (const Value& left : values_) {
    if (left.single) event_.Deliver(left.value, this);
  }
}

NkMultiEvent::NkMultiEvent(const std::string& name) : name_(name) {}

NkMultiEvent::~NkMultiEvent() {
  if (base::NkLogEnabled(base::NK_LOG_DEBUG)) {
    base::NkLogDebug("MultiEvent: the '" + name_ + "' event was deleting (waiters=" +
                     std::to_string(GetWaitersCount()) + ")...");
    base::NkLogDebug("MultiEvent: the '" + name_ + "' event has been deleted");
  }
}

bool NkMultiEvent::Deliver(uint32_t value, const Waiter* except) {
  Waiter* target = nullptr;
  for (Waiter* waiter : waiters_) {
    if (waiter == except) continue;
    if (waiter->values_.empty()) {
      target = waiter;
      break;
    }
    if (target == nullptr) target = waiter;
  }
  if (target == nullptr) return false;
  target->values_.push_back({value, true});
  target->Notify();
  return true;
}

bool NkMultiEvent::Set(uint32_t value) {
  if (base::NkLogEnabled(base::NK_LOG_DEBUG)) {
    base::NkLogDebug("MultiEvent: the '" + name_ + "' event has been set with value = 0x" +
                     base::NkHexText(value));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return Deliver(value, nullptr);
}

size_t NkMultiEvent::Broadcast(uint32_t value) {
  if (base::NkLogEnabled(base::NK_LOG_DEBUG)) {
    base::NkLogDebug("MultiEvent: the '" + name_ +
                     "' event has been broadcasted with value = 0x" + base::NkHexText(value));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (Waiter* waiter : waiters_) {
    waiter->values_.push_back({value, false});
    waiter->Notify();
  }
  return waiters_.size();
}

bool NkMultiEvent::Wait(Waiter& waiter, const base::NkDeadline& deadline, uint32_t* value) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (waiter.values_.empty()) {
    base::NkTimeout left = deadline.Remaining();
    if (left.IsInfinite()) {
      waiter.cond_.wait(lock);
    } else if (left.IsZero()) {
      lock.unlock();
      if (base::NkLogEnabled(base::NK_LOG_DEBUG)) {
        base::NkLogDebug("MultiEvent: the '" + name_ + "' event has been timed out (wait for =" +
                         deadline.ToString() + ")");
      }
      return false;
    } else {
      waiter.cond_.wait_for(lock, std::chrono::milliseconds(left.GetMilliseconds()));
    }
  }
  *value = waiter.values_.front().value;
  waiter.values_.pop_front();
  lock.unlock();
  if (base::NkLogEnabled(base::NK_LOG_DEBUG)) {
    base::NkLogDebug("MultiEvent: the '" + name_ + "' event has been received with value=0x" +
                     base::NkHexText(*value));
  }
  return true;
}

bool NkMultiEvent::TryTake(Waiter& waiter, uint32_t* value) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (waiter.values_.empty()) return false;
  *value = waiter.values_.front().value;
  waiter.values_.pop_front();
  lock.unlock();
  if (base::NkLogEnabled(base::NK_LOG_DEBUG)) {
    base::NkLogDebug("MultiEvent: the '" + name_ + "' event has been received with value=0x" +
                     base::NkHexText(*value));
  }
  return true;
}

size_t NkMultiEvent::GetWaitersCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiters_.size();
}

}  // namespace ipc
}  // namespace norvak
