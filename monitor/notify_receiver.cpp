#include "monitor/notify_receiver.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <mutex>
#include <stdexcept>

#include "frame/credited_datagram.h"
#include "frame/log.h"

namespace asio = boost::asio;

namespace {

// Longer datagrams are no notifications of ours: cut there.
const size_t kMaxDatagram = 4096;
const size_t kMaxStatus = 200;
const std::chrono::seconds kForeignLogPeriod(60);

std::atomic<unsigned> g_serial{0};
std::mutex g_dirMutex;
std::string g_dir = "/tmp";

#if !defined(__linux__)
std::string directory() {
  std::lock_guard<std::mutex> lock(g_dirMutex);
  return g_dir;
}
#endif

// Control characters would garble the status table and the log.
std::string printable(const std::string& text) {
  std::string out;
  for (char c : text.substr(0, kMaxStatus)) out += (c >= 0x20 && c != 0x7F) ? c : ' ';
  return out;
}

}  // namespace

struct NotifyReceiver::Watch {
  explicit Watch(asio::io_context& loop) : socket(loop), deadline(loop) {}
  ~Watch() {
    if (socket.is_open()) socket.release();
  }
  asio::posix::stream_descriptor socket;
  asio::steady_timer deadline;
};

void NotifyReceiver::setDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> lock(g_dirMutex);
  g_dir = dir;
}

std::shared_ptr<NotifyReceiver> NotifyReceiver::open(const std::string& component) {
  return std::shared_ptr<NotifyReceiver>(new NotifyReceiver(component));
}

NotifyReceiver::NotifyReceiver(const std::string& component) : component_(component) {
  result_.check = "watchdog";
  result_.result = "pending";
  fd_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd_) throw std::runtime_error(std::string("notification socket: ") + strerror(errno));
  const std::string name =
      "norvak-monitor." + std::to_string(getpid()) + "." + std::to_string(++g_serial) + ".notify";
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  socklen_t length;
#if defined(__linux__)
  // Abstract: nothing in the file system to leave behind or to permit.
  address_ = "@" + name;
  memcpy(addr.sun_path + 1, name.data(), name.size());
  length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + name.size());
#else
  path_ = directory() + "/" + name;
  if (path_.size() >= sizeof(addr.sun_path))
    throw std::runtime_error("notification socket: path too long: " + path_);
  address_ = path_;
  memcpy(addr.sun_path, path_.data(), path_.size());
  length = static_cast<socklen_t>(sizeof(addr));
  unlink(path_.c_str());
#endif
  if (bind(fd_.get(), reinterpret_cast<struct sockaddr*>(&addr), length) != 0)
    throw std::runtime_error("notification socket " + address_ + ": " + strerror(errno));
  // The component's user must be able to write to it; who wrote is told by
  // the kernel's stamp, not by the permissions.
  if (!path_.empty()) chmod(path_.c_str(), 0666);
  const int on = 1;
#if defined(__linux__)
  if (setsockopt(fd_.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0)
#elif defined(__FreeBSD__)
  if (setsockopt(fd_.get(), 0, LOCAL_CREDS_PERSISTENT, &on, sizeof(on)) != 0)
#else
  if (true)
#endif
    throw std::runtime_error("notification socket: no sender credentials: " +
                             std::string(strerror(errno)));
}

NotifyReceiver::~NotifyReceiver() {
  stop();
  if (!path_.empty()) unlink(path_.c_str());
}

void NotifyReceiver::stop() {
  stopped_ = true;
  watch_.reset();
}

void NotifyReceiver::watch(asio::io_context& loop, pid_t pid, int seconds, Failed failed) {
  pid_ = pid;
  seconds_ = seconds;
  failed_ = std::move(failed);
  stopped_ = false;
  watch_ = std::make_unique<Watch>(loop);
  boost::system::error_code ignored;
  watch_->socket.assign(fd_.get(), ignored);
  arm();
  // What the program said while it started is heard now.
  drain();
  if (!stopped_) await();
}

void NotifyReceiver::arm() {
  if (seconds_ <= 0 || !watch_) return;
  std::weak_ptr<NotifyReceiver> self = shared_from_this();
  watch_->deadline.expires_after(std::chrono::seconds(seconds_));
  watch_->deadline.async_wait([self](const boost::system::error_code& ec) {
    std::shared_ptr<NotifyReceiver> p = self.lock();
    if (!p || ec || p->stopped_) return;
    p->fail("no WATCHDOG=1 within " + std::to_string(p->seconds_) + " s");
  });
}

void NotifyReceiver::await() {
  std::weak_ptr<NotifyReceiver> self = shared_from_this();
  watch_->socket.async_wait(asio::posix::descriptor_base::wait_read,
                            [self](const boost::system::error_code& ec) {
                              std::shared_ptr<NotifyReceiver> p = self.lock();
                              if (!p || ec || p->stopped_) return;
                              p->drain();
                              if (!p->stopped_) p->await();
                            });
}

void NotifyReceiver::drain() {
  char data[kMaxDatagram];
  for (int taken = 0; taken < 64 && !stopped_; ++taken) {
    pid_t sender = -1;
    const ssize_t n = receiveCreditedDatagram(fd_.get(), data, sizeof(data), sender);
    if (n < 0) return;
    if (sender != pid_ || sender <= 0) {
      ++foreign_;
      const Clock::MonoTime now = Clock::system().monoNow();
      if (!foreignEverLogged_ || now - foreignLogged_ >= kForeignLogPeriod) {
        logAlert("notification socket of component \"" + component_ + "\": " +
                 std::to_string(foreign_) + " datagram(s) from other processes ignored");
        foreign_ = 0;
        foreignLogged_ = now;
        foreignEverLogged_ = true;
      }
      continue;
    }
    take(std::string(data, static_cast<size_t>(n)));
  }
}

void NotifyReceiver::take(const std::string& message) {
  size_t begin = 0;
  while (begin < message.size() && !stopped_) {
    size_t end = message.find('\n', begin);
    if (end == std::string::npos) end = message.size();
    const std::string line = message.substr(begin, end - begin);
    begin = end + 1;
    if (line == "READY=1") {
      ready_ = true;
    } else if (line.compare(0, 7, "STATUS=") == 0) {
      status_ = printable(line.substr(7));
    } else if (line == "WATCHDOG=1" && seconds_ > 0) {
      result_.result = "ok";
      result_.time = time(nullptr);
      result_.error.clear();
      arm();
    } else if (line == "WATCHDOG=trigger" && seconds_ > 0) {
      fail("WATCHDOG=trigger received");
    }
  }
}

void NotifyReceiver::fail(const std::string& error) {
  stopped_ = true;
  result_.result = "failed";
  result_.time = time(nullptr);
  result_.failures = 1;
  result_.error = error;
  std::shared_ptr<NotifyReceiver> keep = shared_from_this();
  Failed failed = failed_;
  watch_.reset();
  if (failed) failed();
}
