#ifndef NORVAK_MANAGE_METRICS_SERVER_H_
#define NORVAK_MANAGE_METRICS_SERVER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "frame/clock.h"
#include "manage/metrics_snapshot.h"

// Serves GET /metrics (HTTP/1.1, Boost.Beast) on one TCP address, from a
// thread of its own: the loop only publishes snapshots, and a scrape, slow
// or hostile, never waits for the loop nor the loop for it.
//
// The port is open to whoever reaches it, so it answers nothing but the
// figures and bounds what a peer can hold: a few connections at once (the
// ones over are closed unanswered), a request head of a few KiB (more is
// answered 431 and the connection closed), no body, and a deadline for each
// request and each answer, which also ends idle keep-alive connections.
// Other paths get 404, other methods 405.
class MetricsServer {
 public:
  struct Limits {
    size_t connections = 8;
    size_t headBytes = 8 * 1024;
    std::chrono::milliseconds deadline{5000};
  };

  // The clock reckons the ages in the answers; it must outlive the server.
  explicit MetricsServer(const Clock& clock);
  MetricsServer(const Clock& clock, Limits limits);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Listens on host:port (ConfReader::splitHostPort) and begins serving;
  // throws std::runtime_error with the reason when it cannot.
  void start(const std::string& address);
  // Closes every connection and ends the thread. Safe to call again.
  void stop();
  // The port listened on (the one the system chose for port 0); 0 before
  // start.
  uint16_t port() const;

  // From any thread; the next answers show it. Until the first, /metrics
  // answers 503.
  void publish(std::shared_ptr<const MetricsSnapshot> snapshot);
  std::shared_ptr<const MetricsSnapshot> current() const;

 private:
  struct Impl;
  class Connection;

  void accept();

  const Clock& clock_;
  Limits limits_;
  std::unique_ptr<Impl> impl_;
  mutable std::mutex snapshotMutex_;
  std::shared_ptr<const MetricsSnapshot> snapshot_;
};

#endif  // NORVAK_MANAGE_METRICS_SERVER_H_
