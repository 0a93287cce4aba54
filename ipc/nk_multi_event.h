#ifndef NORVAK_IPC_NK_MULTI_EVENT_H_
#define NORVAK_IPC_NK_MULTI_EVENT_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <string>

#include "nk_deadline.h"

namespace norvak {
namespace ipc {

// A named event through which a pool talks to the threads waiting in it.
// A thread registers (Waiter) before it checks whatever it waits for, so an
// event raised between the check and the wait is never lost. Set hands a
// value to one waiter (an idle one first), Broadcast to every waiter.
class NkMultiEvent {
 public:
  class Waiter {
   public:
    explicit Waiter(NkMultiEvent& event);
    // Also signals the eventfd `wake_fd` whenever a value arrives, for a
    // waiter that sleeps in poll(2) rather than on the condition. The
    // descriptor is only borrowed: its owner keeps it open while the
    // waiter lives.
    Waiter(NkMultiEvent& event, int wake_fd);
    // A Set value this waiter did not take is passed on to another waiter.
    ~Waiter();
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

   private:
    friend class NkMultiEvent;
    struct Value {
      uint32_t value;
      bool single;
    };
    void Notify();

    NkMultiEvent& event_;
    const int wake_fd_ = -1;
    std::condition_variable cond_;
    std::deque<Value> values_;
  };

  explicit NkMultiEvent(const std::string& name);
  ~NkMultiEvent();
  NkMultiEvent(const NkMultiEvent&) = delete;
  NkMultiEvent& operator=(const NkMultiEvent&) = delete;

  // False (nobody to wake) when no thread waits.
  bool Set(uint32_t value);
  size_t Broadcast(uint32_t value);
  // The next value for `waiter`, or false at the deadline.
  bool Wait(Waiter& waiter, const base::NkDeadline& deadline, uint32_t* value);
  // The next value if one is there, without waiting.
  bool TryTake(Waiter& waiter, uint32_t* value);
  size_t GetWaitersCount() const;
  const std::string& GetName() const { return name_; }

 private:
  // With mutex_ held.
  bool Deliver(uint32_t value, const Waiter* except);

  const std::string name_;
  mutable std::mutex mutex_;
  std::list<Waiter*> waiters_;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_MULTI_EVENT_H_
