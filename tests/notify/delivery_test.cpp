#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "file_util.h"
#include "frame/spawn.h"
#include "log_file_test.h"
#include "notify/cmd_informer.h"
#include "notify/delivery_threads.h"
#include "notify/notify_info.h"
#include "notify/sender_informer.h"
#include "process_scan.h"
#include "wait_util.h"

namespace {

const char kExitChildVariable[] = "NORVAK_DELIVERY_EXIT_DIR";

int childCount() { return static_cast<int>(childrenOf(getpid()).size()); }

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A command that never ends: a script whose sleep runs as a child of the
// shell, under a name that tells it from every other process.
std::string hangingCommand(const std::string& dir) {
  const std::string sleeper = dir + "/hanging-sleep";
  const std::string script = dir + "/hang";
  EXPECT_EQ(symlink("/bin/sleep", sleeper.c_str()), 0);
  writeFile(script, "#!/bin/sh\n" + sleeper + " 1000\n");
  EXPECT_EQ(chmod(script.c_str(), 0755), 0);
  return script;
}

class DeliveryTest : public LogFileTest {
 protected:
  void TearDown() override {
    EXPECT_TRUE(SenderInformer::waitDeliveries(60));
    EXPECT_TRUE(CmdInformer::waitDeliveries(60));
    EXPECT_TRUE(noChildLeft());
    LogFileTest::TearDown();
  }
};

TEST_F(DeliveryTest, HangingCommandsAreBoundedAndKilledAtTheTimeOut) {
  const std::string command = hangingCommand(dir_.path());
  setInjectCmd(command);
  const int threadsBefore = threadCount();
  constexpr int kEach = 15;
  SenderInformer sender(1);
  CmdInformer informer(command, 1);
  for (int i = 0; i < kEach; ++i) {
    ASSERT_TRUE(sender.inform("mail " + std::to_string(i)));
    ASSERT_TRUE(informer.inform("text " + std::to_string(i)));
  }
  // Queued, not dropped: every one is still to come.
  EXPECT_EQ(SenderInformer::pendingDeliveries() + CmdInformer::pendingDeliveries(), 2 * kEach);

  int mostChildren = 0;
  int mostThreads = 0;
  EXPECT_TRUE(waitUntil(
      [&] {
        mostChildren = std::max(mostChildren, childCount());
        mostThreads = std::max(mostThreads, threadCount());
        return SenderInformer::pendingDeliveries() + CmdInformer::pendingDeliveries() == 0;
      },
      120));
  EXPECT_GT(mostChildren, 0);
  EXPECT_LE(mostChildren, DeliveryThreads::kMaxRunning);
  EXPECT_LE(mostThreads, threadsBefore + DeliveryThreads::kMaxRunning);

  // Killed with what they started, and reaped.
  EXPECT_TRUE(noChildLeft());
  EXPECT_TRUE(waitUntil([&] { return processesMentioning(dir_.path()).empty(); }));
  const std::string text = log();
  EXPECT_EQ(occurrences(text, "Informer was terminated by signal"), size_t(kEach));
  EXPECT_EQ(occurrences(text, "informer command \"" + command + "\" terminated by signal9"),
            size_t(kEach));
  EXPECT_TRUE(logged("Transfer message in stdin: text 14"));
  // Workers end with the work.
  EXPECT_TRUE(waitUntil([&] { return threadCount() <= threadsBefore; }));
}

TEST_F(DeliveryTest, FullQueueDropsTheOldestWaitingAndNeverBlocks) {
  constexpr int kJobs = DeliveryThreads::kMaxWaiting + 5;
  // Shared with the jobs, and a promise broken by an early return lets them
  // go on: nothing of them outlives the test in this frame.
  static DeliveryThreads threads;
  std::promise<void> open;
  const std::shared_future<void> gate = open.get_future().share();
  const auto running = std::make_shared<std::atomic<int>>(0);
  const auto ran = std::make_shared<std::vector<std::atomic<bool>>>(kJobs);
  for (int i = 0; i < DeliveryThreads::kMaxRunning; ++i)
    threads.start([gate, running] {
      ++*running;
      gate.wait();
    });
  ASSERT_TRUE(waitUntil([&] { return *running == DeliveryThreads::kMaxRunning; }));
  const uint64_t before = DeliveryThreads::dropped();
  for (int i = 0; i < kJobs; ++i) threads.start([ran, i] { (*ran)[i] = true; });
  EXPECT_EQ(DeliveryThreads::dropped() - before, 5u);
  EXPECT_EQ(threads.pending(), DeliveryThreads::kMaxRunning + DeliveryThreads::kMaxWaiting);
  open.set_value();
  ASSERT_TRUE(threads.wait(60));
  for (int i = 0; i < kJobs; ++i) EXPECT_EQ((*ran)[i], i >= 5) << i;  // the oldest went
}

// The exit of a process with deliveries under way, run in a process of its
// own: the test binary again, with only the part below.
TEST(DeliveryExitTest, ExitKillsRunningCommandsAndEndsCleanly) {
  TempDir dir;
  const std::string command = hangingCommand(dir.path());
  SpawnPlan plan;
  plan.path = "/proc/self/exe";
  plan.argv = {"delivery_test", "--gtest_filter=DeliveryExitTest.ChildPart", "--gtest_brief=1"};
  plan.stdoutFd = SpawnPlan::kInherit;
  plan.stderrFd = SpawnPlan::kInherit;
  setenv(kExitChildVariable, dir.path().c_str(), 1);
  ChildProcess child = spawn(plan);
  unsetenv(kExitChildVariable);
  ExitStatus status;
  // Far below the commands' own time-out.
  EXPECT_FALSE(child.waitOrKill(120, &status));
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  EXPECT_TRUE(waitUntil([&] { return processesMentioning(dir.path()).empty(); }));
  // Those under way ended and were logged; those waiting were dropped.
  EXPECT_EQ(occurrences(readFile(dir.path() + "/monitor.log"), "terminated by signal9"),
            size_t(DeliveryThreads::kMaxRunning));
}

TEST(DeliveryExitTest, ChildPart) {
  const char* dir = getenv(kExitChildVariable);
  if (dir == nullptr) GTEST_SKIP() << "run by ExitKillsRunningCommandsAndEndsCleanly";
  initLog(std::string(dir) + "/monitor.log", "debug", "quiet", "daemon", false, false);
  CmdInformer informer(std::string(dir) + "/hang", 3600);
  for (int i = 0; i < DeliveryThreads::kMaxRunning + 2; ++i) ASSERT_TRUE(informer.inform("text"));
  ASSERT_TRUE(waitUntil([] { return childCount() == DeliveryThreads::kMaxRunning; }));
  // Returns with all of them running.
}

}  // namespace
