#include "manage/metrics_publisher.h"

#include <memory>
#include <utility>

#include "monitor/monitor.h"

MetricsPublisher::MetricsPublisher(Monitor& monitor)
    : monitor_(monitor), server_(monitor.clock()), timer_(monitor.loop()) {}

MetricsPublisher::~MetricsPublisher() { stop(); }

void MetricsPublisher::start(const std::string& address) {
  server_.start(address);
  started_ = true;
  publishNow();
}

void MetricsPublisher::stop() {
  started_ = false;
  timer_.cancel();
  server_.stop();
}

void MetricsPublisher::changed() { publishWithin(kCoalesce); }

void MetricsPublisher::publishWithin(std::chrono::milliseconds delay) {
  if (!started_) return;
  const auto at = std::chrono::steady_clock::now() + delay;
  if (due_ && timer_.expiry() <= at) return;
  due_ = true;
  timer_.expires_at(at);  // cancels a later one
  timer_.async_wait([this](const boost::system::error_code& ec) {
    if (ec) return;
    due_ = false;
    if (started_) publishNow();
  });
}

void MetricsPublisher::publishNow() {
  SuiteFigures suite;
  monitor_.figures(suite);
  const bool checked = !suite.checks.empty();
  ManagementFigures management;
  for (size_t k = 0; k < ManagementFigures::kKinds; ++k) management.requests[k] = requests_[k];
  management.refusals = refusals_;
  server_.publish(std::make_shared<const MetricsSnapshot>(std::move(suite), management));
  // Checks pass and fail without an event the loop reports: while there are
  // any, the snapshot is also renewed every second.
  if (checked) publishWithin(kCheckRefresh);
}

void MetricsPublisher::countRequest(ManagementFigures::Kind kind) {
  ++requests_[kind];
  counted();
}

void MetricsPublisher::countRefusal() {
  ++refusals_;
  counted();
}

void MetricsPublisher::counted() {
  // One job in the loop's inbox at most, however fast a peer asks.
  if (posted_.exchange(true)) return;
  monitor_.post([this] {
    posted_ = false;
    changed();
  });
}
