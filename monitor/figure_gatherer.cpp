#include "monitor/figure_gatherer.h"

#include "monitor/app_store.h"
#include "monitor/application.h"
#include "monitor/component.h"
#include "monitor/health_probe.h"

namespace {

int stateOf(const Component& comp) {
  if (comp.running()) return 1;
  if (comp.starting()) return 2;
  if (comp.stopping()) return 3;
  if (comp.givenUp()) return 4;
  return 0;
}

}  // namespace

void FigureGatherer::gather(const AppStore& store, Clock::MonoTime now, SuiteFigures& out) {
  out.components.clear();
  out.checks.clear();
  // Rebuilt each time: components a reload removed are forgotten.
  std::map<std::pair<std::string, std::string>, Seen> seen;
  for (const AppStore::AppPtr& app : store.applications()) {
    for (const Component& comp : app->components()) {
      SuiteFigures::Component c;
      c.app = app->name();
      c.name = comp.name();
      c.up = comp.running();
      c.givenUp = comp.givenUp();
      c.restarts = static_cast<uint64_t>(comp.restarts());
      uint64_t events = c.restarts;
      for (size_t i = 0; i < kFaultCauses; ++i) {
        c.faults[i] = comp.faults(static_cast<FaultCause>(i));
        events += c.faults[i];
      }
      if (comp.lastStartTook().count() > 0)
        c.startSeconds = std::chrono::duration<double>(comp.lastStartTook()).count();

      Seen now_seen;
      now_seen.state = stateOf(comp);
      now_seen.pid = comp.pid();
      now_seen.events = events;
      now_seen.since = now;
      auto key = std::make_pair(c.app, c.name);
      auto before = seen_.find(key);
      if (before != seen_.end() && before->second.state == now_seen.state &&
          before->second.pid == now_seen.pid && before->second.events == events)
        now_seen.since = before->second.since;
      c.changedAt = now_seen.since;
      seen.emplace(std::move(key), now_seen);
      for (const HealthResult& r : comp.healthResults()) {
        SuiteFigures::Check check;
        check.app = c.app;
        check.component = c.name;
        check.check = r.check;
        check.ok = r.result == "ok";
        check.pending = r.result == "pending";
        check.time = r.time;
        check.failures = static_cast<uint64_t>(r.failures);
        out.checks.push_back(std::move(check));
      }
      out.components.push_back(std::move(c));
    }
  }
  seen_.swap(seen);
}
