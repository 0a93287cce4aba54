#ifndef NORVAK_PROTOCOLS_NK_REQUEST_QUEUE_H_
#define NORVAK_PROTOCOLS_NK_REQUEST_QUEUE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace norvak {
namespace maild {

// The requests a server protocol received and its owner has not taken yet.
// Filled by the session's serving threads, emptied by the owner; bounded, so
// that an owner that falls behind loses the oldest requests instead of its
// memory (Dropped() counts them).
template <typename Request>
class NkRequestQueue {
 public:
  static constexpr size_t kDefaultCapacity = 4096;

  explicit NkRequestQueue(size_t capacity = kDefaultCapacity)
      : capacity_(capacity == 0 ? 1 : capacity) {}

  void Push(Request request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= capacity_) {
      queue_.pop_front();
      ++dropped_;
    }
    queue_.push_back(std::move(request));
  }
  bool Pop(Request& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) return false;
    out = std::move(queue_.front());
    queue_.pop_front();
    return true;
  }
  // Everything queued, oldest first.
  std::vector<Request> TakeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Request> all(std::make_move_iterator(queue_.begin()),
                             std::make_move_iterator(queue_.end()));
    queue_.clear();
    return all;
  }
  size_t Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
  }
  uint64_t Dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
  }

 private:
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::deque<Request> queue_;
  uint64_t dropped_ = 0;
};

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_REQUEST_QUEUE_H_
