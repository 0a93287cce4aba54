#include "monitor/component_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <stdexcept>

#include "frame/log.h"
#include "frame/spawn.h"

using norvak::base::UniqueFd;
namespace asio = boost::asio;

namespace {

// Output read per period: enough for a program that talks a little, while a
// flood is held back in its pipe.
const size_t kOutputBudget = 256 * 1024;
const std::chrono::milliseconds kOutputPeriod(100);
// Without a pidfd the end of a stopping process can only be looked for.
const std::chrono::milliseconds kEndPoll(20);

Clock::MonoTime monoNow() { return Clock::system().monoNow(); }

// Something to read, or the end of file, right now.
bool readyNow(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  return r != 0;  // an error reads as a broken answer
}

}  // namespace

struct ComponentProcess::Watch {
  Watch(asio::io_context& loop, Sink s)
      : pipes{asio::posix::stream_descriptor(loop), asio::posix::stream_descriptor(loop)},
        end(loop),
        deadline(loop),
        budget(loop),
        report(loop),
        endPoll(loop),
        sink(std::move(s)) {}
  // The descriptors belong to the process; only the registrations go here,
  // always before the descriptor is closed (asio drops a registration by
  // the descriptor's number).
  ~Watch() {
    for (auto& pipe : pipes) drop(pipe);
    drop(end);
  }
  static void drop(asio::posix::stream_descriptor& d) {
    if (d.is_open()) d.release();
  }

  asio::posix::stream_descriptor pipes[2];  // kOut, kErr
  asio::posix::stream_descriptor end;       // the pidfd
  asio::steady_timer deadline;              // the answer's, then the stop's
  asio::steady_timer budget;                // end of an output pause
  asio::steady_timer report;                // count of suppressed lines due
  asio::steady_timer endPoll;               // without a pidfd
  Sink sink;
  bool waiting[2] = {false, false};
  bool endWaiting = false;
  bool paused = false;
  bool stopping = false;
  bool reportArmed = false;
};

std::shared_ptr<ComponentProcess> ComponentProcess::spawn(const std::string& name, SpawnPlan& plan,
                                                          bool withDiag,
                                                          std::shared_ptr<OutputRing> ring) {
  // Close-on-exec: a component started meanwhile from another thread must
  // not inherit our write end (its end-of-file would never come).
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("create pipe error");
  UniqueFd answerRead(p[0]), answerWrite(p[1]);
  // The second pipe is the check dialogue in check-all mode, otherwise the
  // program's standard error, which gets logged.
  if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("create pipe error");
  UniqueFd diagRead(p[0]), diagWrite(p[1]);
  // Only our end: the program's writes must keep blocking on a full pipe.
  if (!withDiag) fcntl(diagRead.get(), F_SETFL, fcntl(diagRead.get(), F_GETFL) | O_NONBLOCK);

  // The child answers on its standard output; a step that fails before the
  // exec writes its record there too.
  plan.stdoutFd = answerWrite.get();
  plan.stderrFd = diagWrite.get();
  plan.reportFd = answerWrite.get();
  std::shared_ptr<ComponentProcess> proc(new ComponentProcess(name, ::spawn(plan)));
  proc->ring_ = std::move(ring);
  proc->out_ = std::move(answerRead);
  (withDiag ? proc->diag_ : proc->err_) = std::move(diagRead);
  return proc;
}

ComponentProcess::ComponentProcess(const std::string& name, ChildProcess child)
    : name_(name), child_(std::move(child)), pid_(child_.pid()) {}

ComponentProcess::~ComponentProcess() {
  watch_.reset();
  if (child_) reap();
}

ExitStatus ComponentProcess::reap() {
  // The registration goes before the pidfd: dropped after, it would drop
  // whatever took the descriptor's number meanwhile.
  if (watch_) {
    Watch::drop(watch_->end);
    watch_->deadline.cancel();
  }
  // Whatever is left of the group after its leader's end is killed while
  // the unreaped leader still holds the group's number.
  child_.signalGroup(SIGKILL);
  return child_.wait();
}

// ---- The loop -----------------------------------------------------------------

void ComponentProcess::attach(asio::io_context& loop, Sink sink) {
  watch_ = std::make_unique<Watch>(loop, std::move(sink));
  boost::system::error_code ignored;
  if (out_) watch_->pipes[kOut].assign(out_.get(), ignored);
  if (err_) watch_->pipes[kErr].assign(err_.get(), ignored);
  if (child_.pidfd() >= 0) watch_->end.assign(child_.pidfd(), ignored);
}

void ComponentProcess::watchAnswer(std::chrono::milliseconds within) {
  if (!watch_) return;
  awaitReadable(kOut);
  awaitReadable(kErr);
  std::weak_ptr<ComponentProcess> self = shared_from_this();
  watch_->deadline.expires_after(within);
  watch_->deadline.async_wait([self](const boost::system::error_code& ec) {
    std::shared_ptr<ComponentProcess> p = self.lock();
    if (!p || ec || p->running_ || p->watch_->stopping) return;
    p->watch_->sink(Event::kAnswerTimedOut);
  });
}

void ComponentProcess::watchRun() {
  if (!watch_) return;
  awaitReadable(kOut);
  awaitReadable(kErr);
  awaitEnd();
}

void ComponentProcess::watchStop(std::chrono::milliseconds killAfter) {
  if (!watch_) return;
  watch_->stopping = true;
  awaitEnd();
  std::weak_ptr<ComponentProcess> self = shared_from_this();
  watch_->deadline.expires_after(killAfter);
  watch_->deadline.async_wait([self](const boost::system::error_code& ec) {
    std::shared_ptr<ComponentProcess> p = self.lock();
    if (p && !ec) p->signalGroup(SIGKILL);
  });
}

void ComponentProcess::awaitReadable(Pipe pipe) {
  asio::posix::stream_descriptor& d = watch_->pipes[pipe];
  if (!d.is_open() || watch_->waiting[pipe] || watch_->paused) return;
  watch_->waiting[pipe] = true;
  std::weak_ptr<ComponentProcess> self = shared_from_this();
  d.async_wait(asio::posix::descriptor_base::wait_read,
               [self, pipe](const boost::system::error_code& ec) {
                 std::shared_ptr<ComponentProcess> p = self.lock();
                 if (!p) return;
                 p->watch_->waiting[pipe] = false;
                 if (!ec && !p->watch_->stopping) p->onReadable(pipe);
               });
}

void ComponentProcess::onReadable(Pipe pipe) {
  const Clock::MonoTime now = monoNow();
  if (pipe == kOut && !running_) {
    // The loop may report ready what is not: asio hands the registration of
    // a descriptor just dropped (a failed start's) to the next one with its
    // events still queued. Taken as the answer, such a report would read
    // nothing and fail a good start.
    if (!readyNow(out_.get())) {
      awaitReadable(kOut);
      return;
    }
    watch_->deadline.cancel();
    watch_->sink(Event::kAnswered);
    return;
  }
  if (pipe == kOut) {
    if (drainOutput(now)) {
      // With a pidfd the end of the process is the pidfd's to tell: a
      // program may close its output and live on.
      if (!watch_->end.is_open()) {
        watch_->sink(Event::kEnded);
        return;
      }
      Watch::drop(watch_->pipes[kOut]);
      out_.reset();
      return;
    }
  } else {
    drainError(now);
  }
  Clock::MonoTime resume;
  if (outputPaused(now, resume)) {
    armBudget(resume);
  } else {
    awaitReadable(pipe);
  }
  armReport();
}

void ComponentProcess::awaitEnd() {
  std::weak_ptr<ComponentProcess> self = shared_from_this();
  auto ended = [self](const boost::system::error_code& ec) {
    std::shared_ptr<ComponentProcess> p = self.lock();
    if (!p) return;
    p->watch_->endWaiting = false;
    if (ec) return;
    if (p->watch_->stopping) {
      if (p->ended()) {
        p->watch_->deadline.cancel();
        p->watch_->sink(Event::kStopped);
      } else {
        p->awaitEnd();  // only without pidfd: look again
      }
    } else if (p->running_) {
      // A report meant for a dropped descriptor (see onReadable) must not
      // pass for the end.
      if (p->ended()) {
        p->watch_->sink(Event::kEnded);
      } else {
        p->awaitEnd();
      }
    }
  };
  if (watch_->endWaiting) return;
  if (watch_->end.is_open()) {
    watch_->endWaiting = true;
    watch_->end.async_wait(asio::posix::descriptor_base::wait_read, ended);
  } else if (watch_->stopping) {
    // No pidfd: a running process's end shows as end of file; a stopping
    // one's has to be looked for.
    watch_->endWaiting = true;
    watch_->endPoll.expires_after(kEndPoll);
    watch_->endPoll.async_wait(ended);
  }
}

void ComponentProcess::armBudget(Clock::MonoTime resume) {
  if (watch_->paused) return;
  watch_->paused = true;
  std::weak_ptr<ComponentProcess> self = shared_from_this();
  watch_->budget.expires_at(resume);
  watch_->budget.async_wait([self](const boost::system::error_code& ec) {
    std::shared_ptr<ComponentProcess> p = self.lock();
    if (!p || ec || p->watch_->stopping) return;
    p->watch_->paused = false;
    p->awaitReadable(kOut);
    p->awaitReadable(kErr);
  });
}

void ComponentProcess::armReport() {
  Clock::MonoTime at;
  if (watch_->reportArmed || !outputReportDue(at)) return;
  watch_->reportArmed = true;
  std::weak_ptr<ComponentProcess> self = shared_from_this();
  watch_->report.expires_at(at);
  watch_->report.async_wait([self](const boost::system::error_code& ec) {
    std::shared_ptr<ComponentProcess> p = self.lock();
    if (!p) return;
    p->watch_->reportArmed = false;
    if (ec) return;
    p->reportSuppressed(monoNow());
    p->armReport();
  });
}

// ---- Output -------------------------------------------------------------------

void ComponentProcess::beginOutput() {
  running_ = true;
  fcntl(out_.get(), F_SETFL, fcntl(out_.get(), F_GETFL) | O_NONBLOCK);
  outputRead_ = 0;
  outputPeriodEnd_ = Clock::MonoTime();
}

bool ComponentProcess::drainOutput(Clock::MonoTime now) {
  if (!out_) return false;
  return readOutput(out_.get(), outLines_, now) > 0;
}

void ComponentProcess::drainError(Clock::MonoTime now) {
  if (!err_) return;
  // A read error would only repeat on every wake-up: it ends the pipe too.
  if (readOutput(err_.get(), errLines_, now) != 0) closeError();
}

void ComponentProcess::closeError() {
  if (watch_) Watch::drop(watch_->pipes[kErr]);
  err_.reset();
}

int ComponentProcess::readOutput(int fd, LineSplitter& lines, Clock::MonoTime now) {
  if (now >= outputPeriodEnd_) {
    outputRead_ = 0;
    outputPeriodEnd_ = now + kOutputPeriod;
  }
  reportSuppressed(now);
  // One reading of the clock for all the lines read at once.
  lineTime_ = Clock::system().wallNow();
  const OutputRing::Stream stream = &lines == &errLines_ ? OutputRing::Stream::kErr
                                                         : OutputRing::Stream::kOut;
  auto emit = [this, stream](const std::string& line) { logOutputLine(stream, line); };
  char buf[16384];
  while (outputRead_ < kOutputBudget) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      lines.finish(emit);
      return 1;
    }
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      logDebug("error reading output of component \"" + name_ + "\": " + strerror(errno));
      return -1;
    }
    outputRead_ += static_cast<size_t>(n);
    // Lines that later lines of this same chunk push out of the ring again
    // need not go in: a flood of short lines would otherwise cost a copy each.
    const size_t newlines = static_cast<size_t>(std::count(buf, buf + n, '\n'));
    // (One to spare: the end of a line cut for its length emits nothing.)
    ringSkip_ = newlines > OutputRing::kMaxLines + 1 ? newlines - OutputRing::kMaxLines - 1 : 0;
    lines.feed(buf, static_cast<size_t>(n), emit);
    ringSkip_ = 0;
  }
  return 0;
}

void ComponentProcess::logOutputLine(OutputRing::Stream stream, const std::string& line) {
  if (ringSkip_ > 0)
    --ringSkip_;
  else if (ring_)
    ring_->push(lineTime_, stream, line);
  if (limiter_.admit()) logInfo("component \"" + name_ + "\": " + line);
}

void ComponentProcess::reportSuppressed(Clock::MonoTime now) {
  const size_t n = limiter_.roll(now);
  if (n > 0) logInfo("component \"" + name_ + "\": " + std::to_string(n) + " lines suppressed");
}

bool ComponentProcess::outputPaused(Clock::MonoTime now, Clock::MonoTime& resumeAt) const {
  if (outputRead_ < kOutputBudget || now >= outputPeriodEnd_) return false;
  resumeAt = outputPeriodEnd_;
  return true;
}

void ComponentProcess::closeOutput(bool readAnswerPipe) {
  lineTime_ = Clock::system().wallNow();
  // What a program wrote just before its end is often the reason for it;
  // bounded, as a holder of the pipe may go on writing.
  auto rest = [&](int fd, LineSplitter& lines, OutputRing::Stream stream) {
    auto emit = [this, stream](const std::string& line) { logOutputLine(stream, line); };
    char buf[16384];
    size_t got = 0;
    while (fd >= 0 && got < kOutputBudget) {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 0) != 1 || !(p.revents & POLLIN)) break;
      ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
      lines.feed(buf, static_cast<size_t>(n), emit);
    }
    lines.finish(emit);
  };
  if (readAnswerPipe) rest(out_.get(), outLines_, OutputRing::Stream::kOut);
  rest(err_.get(), errLines_, OutputRing::Stream::kErr);
  const size_t n = limiter_.take();
  if (n > 0) logInfo("component \"" + name_ + "\": " + std::to_string(n) + " lines suppressed");
  if (watch_) {
    for (auto& pipe : watch_->pipes) Watch::drop(pipe);
    watch_->budget.cancel();
    watch_->report.cancel();
  }
  out_.reset();
  diag_.reset();
  err_.reset();
}
