#include "monitor/logs_query.h"

#include <algorithm>

#include "monitor/app_store.h"
#include "monitor/application.h"

namespace {

// What a line costs an answer besides its texts: its number fields and the
// lengths of its strings.
const size_t kLineOverhead = 20;

}  // namespace

std::string LogsQuery::collect(const AppStore& store) {
  lines.clear();
  more = false;
  const AppStore::AppPtr found = store.find(app);
  if (!found) return "unknown application \"" + app + "\"";
  // A number from before this monitor started: every line is new to it.
  if (after > OutputRing::lastSequence()) after = 0;
  next = after;

  struct Pick {
    const OutputRing::Line* line;
    const std::string* component;
  };
  std::vector<Pick> picks;
  bool named = false;
  uint64_t newest = after;
  for (const Component& comp : found->components()) {
    if (!component.empty() && comp.name() != component) continue;
    named = true;
    const OutputRing& ring = comp.output();
    if (ring.size() > 0) newest = std::max(newest, ring.at(ring.size() - 1).seq);
    // Only the newest `most` of each can be among the newest `most` of all.
    size_t from = ring.firstAfter(after);
    if (ring.size() - from > most) from = ring.size() - most;
    for (size_t i = from; i < ring.size(); ++i) picks.push_back({&ring.at(i), &comp.name()});
  }
  if (!named)
    return "unknown component \"" + component + "\" of application \"" + found->name() + "\"";
  std::sort(picks.begin(), picks.end(),
            [](const Pick& a, const Pick& b) { return a.line->seq < b.line->seq; });
  if (picks.size() > most) picks.erase(picks.begin(), picks.end() - static_cast<std::ptrdiff_t>(most));

  size_t bytes = 0;
  for (const Pick& pick : picks) {
    const size_t cost = pick.line->text.size() + pick.component->size() + kLineOverhead;
    // One line always goes, whatever it costs: the follower must move on.
    if (!lines.empty() && bytes + cost > byteCap) {
      more = true;
      break;
    }
    bytes += cost;
    lines.push_back({pick.line->time, pick.line->stream, *pick.component, pick.line->text});
    next = pick.line->seq;
  }
  // Those older than the newest `most` are not wanted later either.
  if (!more) next = newest;
  return std::string();
}
