#include "notify/cmd_informer.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

#include "frame/log.h"
#include "frame/utils.h"
#include "ipc/nk_unique_fd.h"
#include "notify/delivery_threads.h"

using norvak::base::UniqueFd;

namespace {

using Clock = std::chrono::steady_clock;

DeliveryThreads& deliveries() {
  // Never destroyed: detached deliveries may outlive main().
  static DeliveryThreads* threads = new DeliveryThreads;
  return *threads;
}

void writeText(const char* text) { (void)!write(STDERR_FILENO, text, strlen(text)); }

// Async-signal-safe: runs between fork and exec.
void closeInheritedDescriptors() {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
  int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    char buf[4096];
    for (;;) {
      long n = syscall(SYS_getdents64, dir, buf, sizeof buf);
      if (n <= 0) break;
      for (long off = 0; off < n;) {
        const auto* entry = reinterpret_cast<const struct dirent64*>(buf + off);
        off += entry->d_reclen;
        int fd = 0;
        const char* p = entry->d_name;
        if (*p < '0' || *p > '9') continue;
        for (; *p >= '0' && *p <= '9'; ++p) fd = fd * 10 + (*p - '0');
        if (fd >= 3 && fd != dir) close(fd);
      }
    }
    close(dir);
    return;
  }
  struct rlimit limit;
  int top = 1024;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    top = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
  for (int fd = 3; fd < top; ++fd) close(fd);
}

// Everything the child needs, prepared before fork: nothing after it
// allocates or takes a lock.
struct ChildPlan {
  const char* argv[4];
  struct sigaction defaultAction;
  sigset_t emptyMask;
};

[[noreturn]] void runChild(int input, const ChildPlan& plan) {
  if (input == STDIN_FILENO) {
    // dup2 onto itself keeps close-on-exec set; clear it by hand.
    if (fcntl(input, F_SETFD, 0) != 0) {
      writeText("error dup2()\n");
      _exit(255);
    }
  } else if (dup2(input, STDIN_FILENO) < 0) {
    writeText("error dup2()\n");
    _exit(255);
  }
  // The monitor's threads block the signals it waits for; the command must
  // not inherit that, nor an ignored SIGPIPE.
  sigprocmask(SIG_SETMASK, &plan.emptyMask, nullptr);
  sigaction(SIGPIPE, &plan.defaultAction, nullptr);
  closeInheritedDescriptors();
  execv(plan.argv[0], const_cast<char* const*>(plan.argv));
  writeText("error inform: cannot execute /bin/sh\n");
  _exit(127);
}

// One running informer command: its input and its process. Whoever drops
// the last reference without having waited kills and reaps the command.
class Delivery {
 public:
  Delivery(pid_t pid, UniqueFd input, std::string command, std::string text, int timeout)
      : pid_(pid),
        input_(std::move(input)),
        command_(std::move(command)),
        text_(std::move(text)),
        deadline_(Clock::now() + std::chrono::seconds(timeout)) {}
  ~Delivery() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      try {
        Utils::checkChild(pid_, false);
      } catch (...) {
      }
    }
  }
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

  void run() {
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    // A command that does not read its input gives EPIPE on this thread.
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    const bool written = writeInput();
    input_.reset();
    if (!written) logError("error inform: write() error. Data=" + text_);
    const int signal = waitOrKill();
    if (signal > 0)
      logError("informer command \"" + command_ + "\" terminated by signal" +
               std::to_string(signal));
    logInfo("execute command: \"" + command_ + "\". Transfer message in stdin: " + text_);
  }

 private:
  int remainingMs() const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
  }

  // The text goes in under the same deadline as the wait: a command that
  // never reads its input must not hold the thread past the time-out.
  bool writeInput() {
    const int flags = fcntl(input_.get(), F_GETFL);
    if (flags < 0 || fcntl(input_.get(), F_SETFL, flags | O_NONBLOCK) < 0) return false;
    const char* p = text_.data();
    size_t left = text_.size();
    while (left > 0) {
      ssize_t n = write(input_.get(), p, left);
      if (n > 0) {
        p += n;
        left -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return false;
      struct pollfd pfd = {input_.get(), POLLOUT, 0};
      int ready = poll(&pfd, 1, remainingMs());
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
    }
    return true;
  }

  // Returns the signal that ended the command, or -1.
  int waitOrKill() {
    int signal = -1;
    const pid_t pid = std::exchange(pid_, -1);
#ifdef SYS_pidfd_open
    UniqueFd exitFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (exitFd) {
      struct pollfd pfd = {exitFd.get(), POLLIN, 0};
      int ready;
      do {
        ready = poll(&pfd, 1, remainingMs());
      } while (ready < 0 && errno == EINTR);
      if (ready <= 0) kill(pid, SIGKILL);
      Utils::checkChild(pid, false, &signal);
      return signal;
    }
#endif
    // No process descriptors on this kernel: the sampling wait.
    const int seconds = (remainingMs() + 999) / 1000;
    Utils::waitOrKill(pid, seconds, &signal);
    return signal;
  }

  pid_t pid_;
  UniqueFd input_;
  std::string command_;
  std::string text_;
  Clock::time_point deadline_;
};

}  // namespace

CmdInformer::CmdInformer(const std::string& command, int timeoutSeconds)
    : command_(command), timeout_(timeoutSeconds) {}

bool CmdInformer::inform(const std::string& text) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    logError("error inform: pipe() error. Data=" + text);
    return false;
  }
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);

  ChildPlan plan;
  plan.argv[0] = "/bin/sh";
  plan.argv[1] = "-c";
  plan.argv[2] = command_.c_str();
  plan.argv[3] = nullptr;
  memset(&plan.defaultAction, 0, sizeof plan.defaultAction);
  plan.defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&plan.defaultAction.sa_mask);
  sigemptyset(&plan.emptyMask);

  const pid_t pid = fork();
  if (pid < 0) {
    logError("error inform: fork() error. Data=" + text);
    return false;
  }
  if (pid == 0) runChild(readEnd.get(), plan);
  readEnd.reset();

  auto delivery =
      std::make_shared<Delivery>(pid, std::move(writeEnd), command_, text, timeout_);
  // On failure the last reference goes here and takes the command down.
  return deliveries().start([delivery]() { delivery->run(); });
}

int CmdInformer::pendingDeliveries() { return deliveries().pending(); }

bool CmdInformer::waitDeliveries(int seconds) { return deliveries().wait(seconds); }
