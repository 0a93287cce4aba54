#ifndef NORVAK_MONITOR_NOTIFY_RECEIVER_H_
#define NORVAK_MONITOR_NOTIFY_RECEIVER_H_

#include <sys/types.h>
#include <time.h>

#include <functional>
#include <memory>
#include <string>

#include "frame/clock.h"
#include "ipc/nk_unique_fd.h"
#include "monitor/health_probe.h"

namespace boost {
namespace asio {
class io_context;
}  // namespace asio
}  // namespace boost

// The notification socket of one component process: a Unix datagram socket
// whose address the program gets as NOTIFY_SOCKET, speaking the protocol of
// programs written for systemd (READY=1, WATCHDOG=1, STATUS=..., one
// datagram of NAME=value lines). Only the component's own process is heard:
// the kernel stamps every datagram with its sender's pid, and the others
// are counted and logged at most once a minute. WATCHDOG=1 must come within
// the watchdog time, else the watchdog fails (as does WATCHDOG=trigger).
//
// Opened before the spawn (the address goes into the environment); heard
// once the process runs. Everything happens on the supervision loop.
class NotifyReceiver : public std::enable_shared_from_this<NotifyReceiver> {
 public:
  typedef std::function<void()> Failed;

  // Throws std::runtime_error when no socket can be made.
  static std::shared_ptr<NotifyReceiver> open(const std::string& component);
  ~NotifyReceiver();
  NotifyReceiver(const NotifyReceiver&) = delete;
  NotifyReceiver& operator=(const NotifyReceiver&) = delete;

  // As NOTIFY_SOCKET gives it: "@name" for a Linux abstract address.
  const std::string& address() const { return address_; }

  // Hears pid from now on; WATCHDOG=1 is due every `seconds`. failed is
  // called once, when it is not.
  void watch(boost::asio::io_context& loop, pid_t pid, int seconds, Failed failed);
  void stop();

  const std::string& statusText() const { return status_; }
  bool ready() const { return ready_; }
  const HealthResult& result() const { return result_; }
  std::string cause() const { return "watchdog: " + result_.error; }

  // Where sockets are made on systems without abstract addresses.
  static void setDirectory(const std::string& dir);

 private:
  struct Watch;
  explicit NotifyReceiver(const std::string& component);
  void await();
  void drain();
  void take(const std::string& message);
  void arm();
  void fail(const std::string& error);

  std::string component_;
  std::string address_;
  std::string path_;  // a socket file to remove, where there is one
  norvak::base::UniqueFd fd_;
  pid_t pid_ = -1;
  int seconds_ = 0;
  Failed failed_;
  bool stopped_ = false;
  std::unique_ptr<Watch> watch_;
  std::string status_;
  bool ready_ = false;
  HealthResult result_;
  unsigned long foreign_ = 0;  // datagrams of others not logged yet
  Clock::MonoTime foreignLogged_;
  bool foreignEverLogged_ = false;
};

#endif  // NORVAK_MONITOR_NOTIFY_RECEIVER_H_
