#ifndef NORVAK_MANAGE_METRICS_PUBLISHER_H_
#define NORVAK_MANAGE_METRICS_PUBLISHER_H_

#include <array>
#include <atomic>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <string>

#include "manage/metrics_server.h"
#include "manage/metrics_snapshot.h"

class Monitor;

// Keeps the metrics server's snapshot up to date. The loop says when
// something may have changed (changed()); the snapshot is made a moment
// later, once for a whole burst, so that a crash storm costs one rebuild
// per interval and not one per event. Counts of the management server's
// requests come from its threads and are handed to the loop the same way.
class MetricsPublisher {
 public:
  static constexpr std::chrono::milliseconds kCoalesce{200};
  static constexpr std::chrono::milliseconds kCheckRefresh{1000};

  // The monitor must outlive the publisher; its loop runs the timer.
  explicit MetricsPublisher(Monitor& monitor);
  ~MetricsPublisher();
  MetricsPublisher(const MetricsPublisher&) = delete;
  MetricsPublisher& operator=(const MetricsPublisher&) = delete;

  // On the loop's thread (or before the loop runs): listens on the address
  // and publishes the first snapshot. Throws std::runtime_error.
  void start(const std::string& address);
  void stop();
  uint16_t port() const { return server_.port(); }

  // On the loop's thread.
  void changed();
  // From any thread.
  void countRequest(ManagementFigures::Kind kind);
  void countRefusal();

 private:
  void publishNow();
  // Arms the timer unless it is due sooner already.
  void publishWithin(std::chrono::milliseconds delay);
  // Any thread: the loop publishes soon.
  void counted();

  Monitor& monitor_;
  MetricsServer server_;
  boost::asio::steady_timer timer_;
  bool started_ = false;
  bool due_ = false;
  std::array<std::atomic<uint64_t>, ManagementFigures::kKinds> requests_{};
  std::atomic<uint64_t> refusals_{0};
  std::atomic<bool> posted_{false};
};

#endif  // NORVAK_MANAGE_METRICS_PUBLISHER_H_
