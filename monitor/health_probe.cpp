#include "monitor/health_probe.h"

#include <signal.h>
#include <string.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>

#include "frame/child_process.h"
#include "frame/clock.h"
#include "frame/log.h"
#include "frame/scoped_signal_mask.h"
#include "frame/spawn.h"
#include "frame/utils.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// Without a pidfd the end of a check program can only be looked for.
const std::chrono::milliseconds kExitPoll(50);

}  // namespace

struct HealthProbe::Timer {
  explicit Timer(asio::io_context& loop) : timer(loop) {}
  asio::steady_timer timer;
};

// One check in progress; its handlers hold it, the probe holds it weakly
// through run_ so that a late handler finds it finished.
struct HealthProbe::Run {
  explicit Run(asio::io_context& loop)
      : deadline(loop), socket(loop), resolver(loop), end(loop), poll(loop) {}
  ~Run() {
    if (end.is_open()) end.release();
    if (child) child.signalGroup(SIGKILL);  // the child's destructor reaps
  }
  asio::steady_timer deadline;
  tcp::socket socket;
  tcp::resolver resolver;
  ChildProcess child;
  asio::posix::stream_descriptor end;  // the child's pidfd
  asio::steady_timer poll;
  Clock::MonoTime started;
  bool done = false;
  bool timedOut = false;
};

std::shared_ptr<HealthProbe> HealthProbe::start(asio::io_context& loop, const HealthDef& def,
                                                uid_t uid, gid_t gid, Failed failed) {
  std::shared_ptr<HealthProbe> probe(new HealthProbe(loop, def, uid, gid, std::move(failed)));
  probe->schedule(std::chrono::seconds(def.interval));
  return probe;
}

HealthProbe::HealthProbe(asio::io_context& loop, const HealthDef& def, uid_t uid, gid_t gid,
                         Failed failed)
    : loop_(loop),
      def_(def),
      uid_(uid),
      gid_(gid),
      failed_(std::move(failed)),
      next_(std::make_unique<Timer>(loop)) {
  result_.check = def.label();
  result_.result = "pending";
}

HealthProbe::~HealthProbe() { stop(); }

void HealthProbe::stop() {
  stopped_ = true;
  next_->timer.cancel();
  if (run_) {
    run_->done = true;
    boost::system::error_code ignored;
    run_->deadline.cancel();
    run_->poll.cancel();
    run_->socket.close(ignored);
    run_->resolver.cancel();
    // The last handler to let go of the run reaps the program.
    if (run_->child) run_->child.signalGroup(SIGKILL);
    if (run_->end.is_open()) run_->end.cancel(ignored);
    run_.reset();
  }
}

std::string HealthProbe::cause() const {
  return "health check " + result_.check + " failed " + std::to_string(result_.failures) +
         " time(s) in a row: " + result_.error;
}

void HealthProbe::schedule(std::chrono::milliseconds after) {
  std::weak_ptr<HealthProbe> self = shared_from_this();
  next_->timer.expires_after(std::max(after, std::chrono::milliseconds(0)));
  next_->timer.async_wait([self](const boost::system::error_code& ec) {
    std::shared_ptr<HealthProbe> p = self.lock();
    if (p && !ec && !p->stopped_) p->begin();
  });
}

void HealthProbe::begin() {
  run_ = std::make_shared<Run>(loop_);
  run_->started = Clock::system().monoNow();
  std::weak_ptr<HealthProbe> self = shared_from_this();
  std::weak_ptr<Run> weakRun = run_;
  run_->deadline.expires_after(std::chrono::seconds(std::max(def_.timeout, 1)));
  run_->deadline.async_wait([self, weakRun](const boost::system::error_code& ec) {
    std::shared_ptr<HealthProbe> p = self.lock();
    std::shared_ptr<Run> run = weakRun.lock();
    if (!p || !run || ec || run->done) return;
    run->timedOut = true;
    boost::system::error_code ignored;
    // The pending operation ends with its abort, which reports the failure.
    run->socket.close(ignored);
    run->resolver.cancel();
    if (run->child) run->child.signalGroup(SIGKILL);
  });
  if (def_.kind == HealthDef::Kind::kTcp) {
    beginTcp();
  } else {
    beginExec();
  }
}

void HealthProbe::beginTcp() {
  std::shared_ptr<Run> run = run_;
  boost::system::error_code ec;
  const asio::ip::address address = asio::ip::make_address(def_.host, ec);
  if (!ec) {
    tcp::endpoint endpoint(address, static_cast<unsigned short>(std::stoi(def_.port)));
    std::weak_ptr<HealthProbe> self = shared_from_this();
    run->socket.async_connect(endpoint, [self, run](const boost::system::error_code& e) {
      std::shared_ptr<HealthProbe> p = self.lock();
      if (!p || run->done) return;
      p->finish(run, !e, e ? "connect: " + e.message() : std::string());
    });
    return;
  }
  // A name: looked up off the loop (the resolver's own thread), each time,
  // so that a changed address is followed. That thread may be made here:
  // it must not take the loop's signals.
  std::weak_ptr<HealthProbe> self = shared_from_this();
  ScopedSignalMask blocked(ScopedSignalMask::kBlockAll);
  run->resolver.async_resolve(
      def_.host, def_.port,
      [self, run](const boost::system::error_code& e, tcp::resolver::results_type results) {
        std::shared_ptr<HealthProbe> p = self.lock();
        if (!p || run->done) return;
        if (e) {
          p->finish(run, false, run->timedOut ? "" : "cannot resolve \"" + p->def_.host +
                                                         "\": " + e.message());
          return;
        }
        asio::async_connect(run->socket, results,
                            [self, run](const boost::system::error_code& e2, const tcp::endpoint&) {
                              std::shared_ptr<HealthProbe> p2 = self.lock();
                              if (!p2 || run->done) return;
                              p2->finish(run, !e2, e2 ? "connect: " + e2.message() : "");
                            });
      });
}

void HealthProbe::beginExec() {
  std::shared_ptr<Run> run = run_;
  SpawnPlan plan;
  std::vector<std::string> words;
  Utils::splitArgs("", def_.command, words);
  plan.argv.assign(words.begin() + 1, words.end());
  if (plan.argv.empty()) {
    finish(run, false, "empty command");
    return;
  }
  plan.path = plan.argv[0];
  plan.uid = uid_;
  plan.gid = gid_;
  // Its own group: the time-out kills whatever the check started too.
  plan.newSession = true;
  plan.clearSignalMask = true;
  plan.defaultSignals = {SIGPIPE};
  try {
    run->child = ::spawn(plan);
  } catch (const std::exception& e) {
    finish(run, false, e.what());
    return;
  }
  if (run->child.pidfd() >= 0) {
    boost::system::error_code ignored;
    run->end.assign(run->child.pidfd(), ignored);
  }
  awaitExit(run);
}

void HealthProbe::awaitExit(const std::shared_ptr<Run>& run) {
  std::weak_ptr<HealthProbe> self = shared_from_this();
  auto onEnd = [self, run](const boost::system::error_code& ec) {
    std::shared_ptr<HealthProbe> p = self.lock();
    if (!p || run->done || ec) return;
    if (!run->child.ended()) {
      p->awaitExit(run);
      return;
    }
    // The registration goes before the reaping closes the pidfd.
    if (run->end.is_open()) run->end.release();
    ExitStatus status;
    run->child.tryReap(&status);
    if (run->timedOut) {
      p->finish(run, false, "");
    } else if (status.exited && status.code == 0) {
      p->finish(run, true, "");
    } else if (status.exited) {
      p->finish(run, false, "exit " + std::to_string(status.code));
    } else {
      const char* name = strsignal(status.signal);
      p->finish(run, false, "signal " + std::to_string(status.signal) + " (" +
                                (name ? name : "unknown signal") + ")");
    }
  };
  if (run->end.is_open()) {
    run->end.async_wait(asio::posix::descriptor_base::wait_read, onEnd);
  } else {
    run->poll.expires_after(kExitPoll);
    run->poll.async_wait(onEnd);
  }
}

void HealthProbe::finish(const std::shared_ptr<Run>& run, bool ok, const std::string& error) {
  run->done = true;
  run->deadline.cancel();
  boost::system::error_code ignored;
  run->socket.close(ignored);
  if (run_ == run) run_.reset();
  result_.time = time(nullptr);
  if (ok) {
    result_.result = "ok";
    result_.failures = 0;
    result_.error.clear();
  } else {
    result_.result = "failed";
    ++result_.failures;
    const std::string limit = std::to_string(def_.timeout) + " s";
    result_.error = !run->timedOut ? error
                    : def_.kind == HealthDef::Kind::kTcp ? "no connection within " + limit
                                                         : "killed at the time-out of " + limit;
    logInfo("health check " + result_.check + " failed (" + std::to_string(result_.failures) +
            "/" + std::to_string(def_.retries) + "): " + result_.error);
    if (result_.failures >= def_.retries) {
      stopped_ = true;
      // The owner may drop the probe from inside the call.
      std::shared_ptr<HealthProbe> keep = shared_from_this();
      Failed failed = failed_;
      failed();
      return;
    }
  }
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      Clock::system().monoNow() - run->started);
  schedule(std::chrono::seconds(def_.interval) - took);
}
