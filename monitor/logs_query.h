#ifndef NORVAK_MONITOR_LOGS_QUERY_H_
#define NORVAK_MONITOR_LOGS_QUERY_H_

#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "monitor/output_ring.h"

class AppStore;

// An administrator's `logs` request and its answer: the last lines of an
// application's components (or of one of them) that came after a sequence
// number, oldest first. Filled on the loop, which alone reads the rings; the
// copy is bounded in bytes, so that one request never holds the loop for
// long and the asking thread sends no more than a client is meant to take.
struct LogsQuery {
  struct Line {
    time_t time;
    OutputRing::Stream stream;
    std::string component;
    std::string text;
  };

  // The request.
  std::string app;
  std::string component;  // empty: every component of app
  uint64_t after = 0;     // only lines numbered above it
  size_t most = 10;       // of those, the newest `most`
  size_t byteCap = 256 * 1024;

  // The answer.
  std::vector<Line> lines;
  uint64_t next = 0;  // the number to ask "after" next time
  bool more = false;  // the byte cap left lines out: ask again at once

  // The reason when the request names nothing the store has; else empty.
  std::string collect(const AppStore& store);
};

#endif  // NORVAK_MONITOR_LOGS_QUERY_H_
