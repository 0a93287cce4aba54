#include "frame/child_process.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>

namespace {

int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  for (;;) {
    long fd = syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != EINTR) return -1;
  }
#else
  (void)pid;
  return -1;
#endif
}

ExitStatus decode(int status) {
  ExitStatus s;
  if (WIFEXITED(status)) {
    s.exited = true;
    s.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    s.signal = WTERMSIG(status);
  }
  return s;
}

}  // namespace

ChildProcess::ChildProcess(pid_t pid) : pid_(pid) {
  if (pid_ > 0) pidfd_.reset(openPidFd(pid_));
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), pidfd_(std::move(other.pidfd_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    reset();
    pid_ = std::exchange(other.pid_, -1);
    pidfd_ = std::move(other.pidfd_);
  }
  return *this;
}

ChildProcess::~ChildProcess() { reset(); }

void ChildProcess::reset() {
  if (pid_ > 0 && !tryReap()) {
    ::kill(pid_, SIGKILL);
    wait();
  }
  pid_ = -1;
  pidfd_.reset();
}

bool ChildProcess::tryReap(ExitStatus* status) {
  if (pid_ <= 0) return false;
  int raw = 0;
  pid_t r;
  do {
    r = waitpid(pid_, &raw, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  // r < 0 (ECHILD): somebody else reaped it; it is gone all the same.
  ExitStatus s = r > 0 ? decode(raw) : ExitStatus();
  if (status) *status = s;
  pid_ = -1;
  pidfd_.reset();
  return true;
}

bool ChildProcess::ended() const {
  if (pid_ <= 0) return true;
  siginfo_t info;
  info.si_pid = 0;
  int r;
  do {
    r = waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (r < 0 && errno == EINTR);
  return r < 0 || info.si_pid != 0;
}

ExitStatus ChildProcess::wait() {
  ExitStatus s;
  if (pid_ <= 0) return s;
  int raw = 0;
  pid_t r;
  do {
    r = waitpid(pid_, &raw, 0);
  } while (r < 0 && errno == EINTR);
  if (r > 0) s = decode(raw);
  pid_ = -1;
  pidfd_.reset();
  return s;
}

bool ChildProcess::awaitEnd(int seconds) const {
  if (ended()) return true;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(std::max(seconds, 0));
  // Back-off for kernels without pidfd: short first naps keep the common
  // quick exit fast, the cap keeps a slow one from costing much CPU.
  std::chrono::microseconds nap(50);
  const std::chrono::microseconds kMaxNap(10000);
  bool usePidfd = pidfd_.valid();
  for (;;) {
    Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    if (usePidfd) {
      struct pollfd p = {pidfd_.get(), POLLIN, 0};
      // Round up so that a sub-millisecond rest does not spin with timeout 0.
      int ms = static_cast<int>(std::min<int64_t>((left.count() + 999) / 1000, 1000 * 1000));
      if (poll(&p, 1, ms) < 0 && errno != EINTR) usePidfd = false;  // fall back to napping
    } else {
      std::this_thread::sleep_for(std::min(nap, left));
      nap = std::min(nap * 2, kMaxNap);
    }
    if (ended()) return true;
  }
}

bool ChildProcess::waitOrKill(int seconds, ExitStatus* status) {
  if (tryReap(status)) return false;
  if (pid_ <= 0) return false;
  const bool killed = !awaitEnd(seconds);
  if (killed) ::kill(pid_, SIGKILL);
  ExitStatus s = wait();
  if (status) *status = s;
  return killed;
}

bool ChildProcess::signalGroup(int sig) const {
  if (pid_ <= 0) return false;
  return ::kill(-pid_, sig) == 0;
}

bool ChildProcess::kill(int sig) const {
  if (pid_ <= 0) return false;
  return ::kill(pid_, sig) == 0;
}

pid_t ChildProcess::release() {
  pidfd_.reset();
  return std::exchange(pid_, -1);
}
