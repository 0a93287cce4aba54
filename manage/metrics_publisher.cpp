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

void MetricsPublisher::changed() {
  if (!started_ || due_) return;
  due_ = true;
  timer_.expires_after(kCoalesce);
  timer_.async_wait([this](const boost::system::error_code& ec) {
    if (ec) return;
    due_ = false;
    if (started_) publishNow();
  });
}

void MetricsPublisher::publishNow() {
  SuiteFigures suite;
  monitor_.figures(suite);
  ManagementFigures management;
  for (size_t k = 0; k < ManagementFigures::kKinds; ++k) management.requests[k] = requests_[k];
  management.refusals = refusals_;
  server_.publish(std::make_shared<const MetricsSnapshot>(std::move(suite), management));
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
