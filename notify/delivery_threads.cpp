#include "notify/delivery_threads.h"

#include <chrono>
#include <exception>
#include <string>
#include <utility>

#include <boost/thread/thread.hpp>

#include "frame/log.h"

namespace {

// A delivery only writes a text into a pipe and waits: a small stack keeps
// thousands of slow mail commands from reserving gigabytes of address space.
constexpr size_t kStackSize = 256 * 1024;

}  // namespace

bool DeliveryThreads::start(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++pending_;
  }
  try {
    boost::thread::attributes attrs;
    attrs.set_stack_size(kStackSize);
    boost::thread thread(attrs, [this, job = std::move(job)]() {
      try {
        job();
      } catch (const std::exception& e) {
        try {
          logError(std::string("notification delivery failed: ") + e.what());
        } catch (...) {
        }
      } catch (...) {
      }
      finished();
    });
    thread.detach();
    return true;
  } catch (const std::exception& e) {
    finished();
    logError(std::string("cannot create notification thread: ") + e.what());
    return false;
  }
}

int DeliveryThreads::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_;
}

bool DeliveryThreads::wait(int seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_.wait_for(lock, std::chrono::seconds(seconds), [this] { return pending_ == 0; });
}

void DeliveryThreads::finished() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--pending_ == 0) idle_.notify_all();
}
