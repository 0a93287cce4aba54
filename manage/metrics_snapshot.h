#ifndef NORVAK_MANAGE_METRICS_SNAPSHOT_H_
#define NORVAK_MANAGE_METRICS_SNAPSHOT_H_

#include <array>
#include <cstdint>
#include <string>

#include "frame/clock.h"
#include "monitor/suite_figures.h"

// What the management server has counted, by the kind of request: the ones
// norvak-monitor-ctl sends.
struct ManagementFigures {
  enum Kind { kReload, kUpdate, kStatus, kStart, kStop, kRestart, kLogs, kReopenLogs, kKinds };
  static const char* kindName(Kind kind);

  std::array<uint64_t, kKinds> requests{};
  uint64_t refusals = 0;
};

// One published state of the monitor for the metrics server: made on the
// loop, never changed after, read by the serving thread as long as it
// likes. Ages (uptime, time since a component's last change) are reckoned
// when it is rendered, so an old snapshot still tells them right.
class MetricsSnapshot {
 public:
  MetricsSnapshot(SuiteFigures suite, ManagementFigures management);

  // The Prometheus text exposition format (version 0.0.4), names prefixed
  // "norvak_".
  std::string render(Clock::MonoTime now) const;

  const SuiteFigures& suite() const { return suite_; }

 private:
  SuiteFigures suite_;
  ManagementFigures management_;
};

#endif  // NORVAK_MANAGE_METRICS_SNAPSHOT_H_
