#include "notify/delivery_threads.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <exception>
#include <list>
#include <utility>
#include <vector>

#include <boost/thread/thread.hpp>

#include "frame/log.h"
#include "frame/scoped_signal_mask.h"
#include "frame/spawn.h"
#include "ipc/nk_unique_fd.h"

using norvak::base::UniqueFd;

namespace {

using Clock = std::chrono::steady_clock;

// A delivery only writes a text into a pipe and waits: a small stack keeps
// the workers cheap.
constexpr size_t kStackSize = 256 * 1024;

}  // namespace

// The workers and the queue behind every DeliveryThreads.
class DeliveryPool {
 public:
  static DeliveryPool& instance() {
    // Destroyed at exit, and so before the statics constructed earlier that
    // a worker might still use.
    static DeliveryPool pool;
    return pool;
  }

  bool submit(DeliveryThreads* owner, std::function<void()> job);
  uint64_t dropped();
  // Readable once the process exits: running deliveries give up.
  int exitFd() const { return exitRead_.get(); }

 private:
  struct Job {
    DeliveryThreads* owner;
    std::function<void()> run;
  };
  using Workers = std::list<boost::thread>;

  DeliveryPool();
  ~DeliveryPool();
  void work(Workers::iterator self);
  void joinFinished(std::unique_lock<std::mutex>& lock);

  const pid_t pid_ = getpid();
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> queue_;
  Workers workers_;
  std::vector<boost::thread> finished_;  // returned, not yet joined
  bool exiting_ = false;
  uint64_t dropped_ = 0;
  UniqueFd exitRead_, exitWrite_;
};

DeliveryPool::DeliveryPool() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) == 0) {
    exitRead_.reset(fds[0]);
    exitWrite_.reset(fds[1]);
  }
}

DeliveryPool::~DeliveryPool() {
  if (getpid() != pid_) {
    // A forked copy: the workers are not threads of this process.
    new Workers(std::move(workers_));
    new std::vector<boost::thread>(std::move(finished_));
    return;
  }
  std::deque<Job> dropped;
  std::unique_lock<std::mutex> lock(mutex_);
  exiting_ = true;
  dropped.swap(queue_);
  lock.unlock();
  for (Job& job : dropped) job.owner->finished();
  // Never read: it stays readable for every delivery that polls it. A
  // failed write leaves the deliveries to their time-outs.
  if (exitWrite_ && write(exitWrite_.get(), "x", 1) != 1) {
  }
  lock.lock();
  changed_.wait(lock, [this] { return workers_.empty(); });
  joinFinished(lock);
}

bool DeliveryPool::submit(DeliveryThreads* owner, std::function<void()> job) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (exiting_) return false;
  joinFinished(lock);
  queue_.push_back(Job{owner, std::move(job)});
  if (queue_.size() > static_cast<size_t>(DeliveryThreads::kMaxWaiting)) {
    Job oldest = std::move(queue_.front());
    queue_.pop_front();
    ++dropped_;
    lock.unlock();
    // What the job holds goes before it counts as done, as in work().
    oldest.run = nullptr;
    oldest.owner->finished();
    return true;  // a queue that fills up has its workers
  }
  if (workers_.size() >= static_cast<size_t>(DeliveryThreads::kMaxRunning)) return true;
  try {
    boost::thread::attributes attrs;
    attrs.set_stack_size(kStackSize);
    workers_.emplace_back();
    const Workers::iterator self = std::prev(workers_.end());
    try {
      // The worker takes the lock first, so it sees itself in the list. It
      // takes no signal meant for the supervision loop it may be started from.
      ScopedSignalMask quiet(ScopedSignalMask::kBlockAll);
      *self = boost::thread(attrs, [this, self] { work(self); });
    } catch (...) {
      workers_.erase(self);
      throw;
    }
  } catch (const std::exception& e) {
    // Queued all the same when a worker is there to take it.
    const bool waits = !workers_.empty();
    if (!waits) queue_.pop_back();
    lock.unlock();
    logError(std::string("cannot create notification thread: ") + e.what());
    return waits;
  }
  return true;
}

uint64_t DeliveryPool::dropped() {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

void DeliveryPool::work(Workers::iterator self) {
  // A command that quits without reading its input must give the write
  // EPIPE, not end the monitor. A signal left pending goes with the thread.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

  std::unique_lock<std::mutex> lock(mutex_);
  while (!queue_.empty()) {
    Job job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    try {
      job.run();
    } catch (const std::exception& e) {
      try {
        logError(std::string("notification delivery failed: ") + e.what());
      } catch (...) {
      }
    } catch (...) {
    }
    job.run = nullptr;  // what the job holds goes before it counts as done
    job.owner->finished();
    lock.lock();
  }
  finished_.push_back(std::move(*self));
  workers_.erase(self);
  changed_.notify_all();
}

void DeliveryPool::joinFinished(std::unique_lock<std::mutex>& lock) {
  if (finished_.empty()) return;
  std::vector<boost::thread> done;
  done.swap(finished_);
  lock.unlock();
  // They have left their loop: each join waits for a return at most.
  for (boost::thread& t : done) t.join();
  lock.lock();
}

bool DeliveryThreads::start(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++pending_;
  }
  if (DeliveryPool::instance().submit(this, std::move(job))) return true;
  finished();
  return false;
}

uint64_t DeliveryThreads::dropped() { return DeliveryPool::instance().dropped(); }

int DeliveryThreads::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_;
}

bool DeliveryThreads::wait(int seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_.wait_for(lock, std::chrono::seconds(seconds), [this] { return pending_ == 0; });
}

void DeliveryThreads::finished() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--pending_ == 0) idle_.notify_all();
}

namespace {

// Milliseconds to the deadline, rounded up so that a sub-millisecond rest
// still waits instead of spinning; 0 once it has passed.
int msUntil(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
  return static_cast<int>(std::min<long long>(ms, 1000 * 1000));
}

enum class Wake { kReady, kDeadline, kExit };

// Waits for fd (none when -1) to be ready for `events`, the deadline or the
// process exit (exitFd readable), whichever comes first.
Wake waitFor(int fd, short events, Clock::time_point deadline, int exitFd) {
  for (;;) {
    const int ms = msUntil(deadline);
    struct pollfd p[2] = {{exitFd, POLLIN, 0}, {fd, events, 0}};
    const int r = poll(p, 2, ms);
    if (r < 0 && errno == EINTR) continue;
    // A poll that cannot wait at all ends the delivery as the exit does.
    if (r < 0 || p[0].revents != 0) return Wake::kExit;
    if (r > 0) return Wake::kReady;
    if (ms == 0) return Wake::kDeadline;
  }
}

// Returns 0 when all of text went in, else the errno.
int writeAll(int fd, const std::string& text, Clock::time_point deadline, int exitFd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n > 0) {
      p += n;
      left -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return errno;
    if (waitFor(fd, POLLOUT, deadline, exitFd) != Wake::kReady) return ETIMEDOUT;
  }
  return 0;
}

// Waits for the command's end; at the deadline or exit kills its session.
// True when it had to kill.
bool waitOrKill(ChildProcess& child, Clock::time_point deadline, int exitFd, ExitStatus* status) {
  // Without a pidfd the end is sampled, first often, then every 50 ms.
  int nap = 1;
  for (;;) {
    if (child.tryReap(status)) return false;
    if (child.pidfd() >= 0) {
      if (waitFor(child.pidfd(), POLLIN, deadline, exitFd) != Wake::kReady) break;
    } else {
      const auto wake = std::min(deadline, Clock::now() + std::chrono::milliseconds(nap));
      nap = std::min(nap * 2, 50);
      if (waitFor(-1, 0, wake, exitFd) == Wake::kExit || Clock::now() >= deadline) break;
    }
  }
  if (child.tryReap(status)) return false;
  // Whatever the command started in its session goes with it. Not yet
  // reaped, the leader keeps the group's id from being reused. The leader
  // on its own too, in case it has not reached its new session yet.
  ::kill(-child.pid(), SIGKILL);
  child.kill(SIGKILL);
  *status = child.wait();
  return true;
}

}  // namespace

CommandDelivery deliverToCommand(const std::string& command, const std::string& text,
                                 int timeoutSeconds) {
  CommandDelivery result;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  const int exitFd = DeliveryPool::instance().exitFd();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    result.start = CommandDelivery::kPipeFailed;
    result.pipeError = errno;
    return result;
  }
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);

  SpawnPlan plan;
  plan.path = "/bin/sh";
  plan.argv = {"sh", "-c", command};
  plan.stdinFd = readEnd.get();
  plan.stdoutFd = SpawnPlan::kInherit;
  plan.stderrFd = SpawnPlan::kInherit;
  plan.newSession = true;
  // Nothing the monitor blocks or ignores reaches the command.
  plan.clearSignalMask = true;
  plan.defaultSignals = {SIGPIPE};
  plan.streams.status = 255;
  plan.exec.status = 127;
  ChildProcess child;
  try {
    child = spawn(plan);
  } catch (const std::exception&) {
    result.start = CommandDelivery::kForkFailed;
    return result;
  }
  readEnd.reset();

  result.writeError = writeAll(writeEnd.get(), text, deadline, exitFd);
  writeEnd.reset();
  result.killed = waitOrKill(child, deadline, exitFd, &result.status);
  return result;
}
