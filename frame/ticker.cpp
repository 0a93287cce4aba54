#include "frame/ticker.h"

#include <atomic>

namespace {
// The console has one cursor: only one spinner may turn at a time.
std::atomic<bool> g_spinnerBusy{false};
const char kFrames[] = {'-', '\\', '|', '/'};
const int kQuietSteps = 2;  // starts turning at the third step
}  // namespace

Ticker::Ticker(std::ostream& out) : Ticker(out, std::chrono::seconds(1)) {}

Ticker::Ticker(std::ostream& out, std::chrono::milliseconds step) : out_(out), step_(step) {
  bool expected = false;
  active_ = g_spinnerBusy.compare_exchange_strong(expected, true);
  if (!active_) return;
  running_ = true;
  try {
    thread_ = std::thread(&Ticker::run, this);
  } catch (...) {
    g_spinnerBusy = false;
    throw;
  }
}

Ticker::~Ticker() {
  if (!active_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
  }
  wake_.notify_all();
  thread_.join();
  g_spinnerBusy = false;
}

void Ticker::run() {
  // Steady time: a clock set back while a check runs must not freeze it.
  auto next = std::chrono::steady_clock::now();
  int steps = 0;
  int frame = 0;
  bool written = false;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    next += step_;
    if (wake_.wait_until(lock, next, [this] { return !running_; })) break;
    if (++steps <= kQuietSteps) continue;
    if (written) out_.put('\b');
    out_.put(kFrames[frame]);
    out_.flush();
    frame = (frame + 1) % 4;
    written = true;
  }
  if (written) {
    out_.put('\b');
    out_.flush();
  }
}
