#include "notify/cmd_informer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

#include "frame/log.h"
#include "frame/spawn.h"
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

// One running informer command: its input and its process. Whoever drops
// the last reference without having waited kills and reaps the command.
class Delivery {
 public:
  Delivery(ChildProcess child, UniqueFd input, std::string command, std::string text,
           int timeout)
      : child_(std::move(child)),
        input_(std::move(input)),
        command_(std::move(command)),
        text_(std::move(text)),
        deadline_(Clock::now() + std::chrono::seconds(timeout)) {}
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
    ExitStatus status;
    child_.waitOrKill((remainingMs() + 999) / 1000, &status);
    return status.signal;
  }

  ChildProcess child_;  // killed and reaped if dropped running
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

  SpawnPlan plan;
  plan.path = "/bin/sh";
  plan.argv = {"sh", "-c", command_};
  plan.stdinFd = readEnd.get();
  plan.stdoutFd = SpawnPlan::kInherit;
  plan.stderrFd = SpawnPlan::kInherit;
  // Nothing the monitor blocks or ignores reaches the command.
  plan.clearSignalMask = true;
  plan.defaultSignals = {SIGPIPE};
  plan.streams.status = 255;
  plan.exec.status = 127;
  ChildProcess child;
  try {
    child = spawn(plan);
  } catch (const std::exception&) {
    logError("error inform: fork() error. Data=" + text);
    return false;
  }
  readEnd.reset();

  auto delivery =
      std::make_shared<Delivery>(std::move(child), std::move(writeEnd), command_, text, timeout_);
  // On failure the last reference goes here and takes the command down.
  return deliveries().start([delivery]() { delivery->run(); });
}

int CmdInformer::pendingDeliveries() { return deliveries().pending(); }

bool CmdInformer::waitDeliveries(int seconds) { return deliveries().wait(seconds); }
