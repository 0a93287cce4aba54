#include "frame/signal_handler.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Records every call in order; the sender waits on it so that each signal is
// taken before the next is sent (standard signals do not queue).
class RecordingExecutor : public SignalExecutor {
 public:
  void reload(int signal, const std::string& name) override { record("reload", signal, name); }
  void terminate(int signal, const std::string& name) override {
    record("terminate", signal, name);
  }
  void inform(int signal, const std::string& name) override { record("inform", signal, name); }

  bool waitForCalls(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return calls_.size() >= n; });
  }
  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  void record(const char* what, int signal, const std::string& name) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(std::string(what) + " " + std::to_string(signal) + " " + name);
    }
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> calls_;
};

class CountingProcessor : public SignalHandler::Processor {
 public:
  CountingProcessor(int* destroyed) : Processor(nullptr, "X"), destroyed_(destroyed) {}
  ~CountingProcessor() override { ++*destroyed_; }
  bool process(int) override { return true; }

 private:
  int* destroyed_;
};

TEST(SignalHandlerTest, OneProcessorPerSignalAndOwnership) {
  int destroyed = 0;
  {
    SignalHandler handler;
    handler.addProcessor(SIGHUP, std::make_unique<CountingProcessor>(&destroyed));
    handler.addProcessor(SIGUSR1, std::make_unique<CountingProcessor>(&destroyed));
    try {
      handler.addProcessor(SIGHUP, std::make_unique<CountingProcessor>(&destroyed));
      FAIL() << "no exception";
    } catch (const SignalHandler::error& e) {
      EXPECT_EQ(std::string(e.what()), "cannot add processor for signal 1: processor already added");
    }
    EXPECT_EQ(destroyed, 1);  // the refused one is not leaked
    EXPECT_THROW(handler.addProcessor(100000, std::make_unique<CountingProcessor>(&destroyed)),
                 SignalHandler::error);
  }
  EXPECT_EQ(destroyed, 4);
}

TEST(SignalHandlerTest, RealSignalsReachTheExecutorUntilTerminate) {
  RecordingExecutor executor;
  SignalHandler handler;
  handler.addProcessor(SIGCHLD, std::make_unique<InformProcessor>(&executor, "SIGCHLD"));
  handler.addProcessor(SIGTERM, std::make_unique<TerminateProcessor>(&executor, "SIGTERM"));
  handler.addProcessor(SIGHUP, std::make_unique<ReloadProcessor>(&executor, "SIGHUP"));
  // Blocked before the sender thread exists, so it inherits the mask and the
  // signals can only be taken by the wait below.
  ASSERT_TRUE(handler.blockSignals());

  bool inTime = true;
  std::thread sender([&] {
    kill(getpid(), SIGHUP);
    inTime = inTime && executor.waitForCalls(1);
    kill(getpid(), SIGCHLD);
    inTime = inTime && executor.waitForCalls(2);
    kill(getpid(), SIGTERM);
  });
  handler.waitSignals();
  sender.join();
  EXPECT_TRUE(inTime);
  EXPECT_EQ(executor.calls(),
            (std::vector<std::string>{"reload 1 SIGHUP", "inform 17 SIGCHLD", "terminate 15 SIGTERM"}));
}

TEST(SignalHandlerTest, BrokenPipeIsAnErrorNotDeath) {
  SignalHandler handler;
  handler.blockSignals();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  errno = 0;
  EXPECT_EQ(write(fds[1], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  close(fds[1]);
}

}  // namespace
