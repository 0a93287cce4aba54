#ifndef NORVAK_MONITOR_DELIVERY_THREADS_H_
#define NORVAK_MONITOR_DELIVERY_THREADS_H_

#include <condition_variable>
#include <functional>
#include <mutex>

// Runs notification deliveries on detached threads and counts the ones still
// running, so that shut-down (and tests) can wait for them instead of
// guessing. A job owns everything it touches; nothing joins it.
class DeliveryThreads {
 public:
  DeliveryThreads() = default;
  DeliveryThreads(const DeliveryThreads&) = delete;
  DeliveryThreads& operator=(const DeliveryThreads&) = delete;

  // Starts job on a new detached thread. False, with job not run, when no
  // thread could be created. An exception out of job is logged.
  bool start(std::function<void()> job);

  int pending() const;
  // True when no job is left running within `seconds`.
  bool wait(int seconds);

 private:
  void finished();

  mutable std::mutex mutex_;
  std::condition_variable idle_;
  int pending_ = 0;
};

#endif  // NORVAK_MONITOR_DELIVERY_THREADS_H_
