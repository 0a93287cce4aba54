#ifndef NORVAK_MONITOR_TICKER_H_
#define NORVAK_MONITOR_TICKER_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <thread>

// Console spinner shown while a long check runs: after a grace period it
// turns "-\|/" in place (each character replaced through a backspace) until
// the object goes away. Only one spinner turns at a time: a second one
// created while another runs stays silent.
class Ticker {
 public:
  explicit Ticker(std::ostream& out);
  // Step length for tests; the spinner starts turning at the third step.
  Ticker(std::ostream& out, std::chrono::milliseconds step);
  ~Ticker();
  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;

 private:
  void run();

  std::ostream& out_;
  const std::chrono::milliseconds step_;
  bool active_ = false;  // this object owns the process-wide spinner slot
  bool running_ = false;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
};

#endif  // NORVAK_MONITOR_TICKER_H_
