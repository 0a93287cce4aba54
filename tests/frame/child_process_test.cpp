#include "frame/child_process.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

#include "proc_util.h"

namespace {

// Whether the pid is still a process of ours, zombie included.
bool exists(pid_t pid) { return kill(pid, 0) == 0; }

TEST(ChildProcessTest, WaitsReportHowTheChildEnded) {
  ChildProcess three(forkExiting(3));
  ASSERT_TRUE(three.valid());
  ExitStatus status = three.wait();
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 3);
  EXPECT_EQ(status.signal, -1);
  EXPECT_FALSE(three.valid());
  EXPECT_FALSE(three.kill(SIGTERM));

  ChildProcess running(forkSleeper());
  const pid_t pid = running.pid();
  EXPECT_FALSE(running.tryReap(&status));
  EXPECT_EQ(running.pid(), pid);
  // Killed only when the time is up; a time-out of 0 does not wait at all.
  EXPECT_TRUE(running.waitOrKill(0, &status));
  EXPECT_FALSE(status.exited);
  EXPECT_EQ(status.signal, SIGKILL);
  EXPECT_FALSE(exists(pid));

  // Ended within the time: reaped, not killed; the time-out is far off.
  ChildProcess quick(forkExiting(4));
  EXPECT_FALSE(quick.waitOrKill(600, &status));
  EXPECT_EQ(status.code, 4);

  ChildProcess stopped(forkSleeper());
  ASSERT_TRUE(stopped.kill(SIGTERM));
  EXPECT_EQ(stopped.wait().signal, SIGTERM);
  EXPECT_TRUE(noChildLeft());
}

TEST(ChildProcessTest, PidfdTellsTheEnd) {
  ChildProcess child(forkSleeper());
  if (child.pidfd() < 0) GTEST_SKIP() << "no pidfd on this kernel";
  struct pollfd p = {child.pidfd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);
  child.kill(SIGKILL);
  EXPECT_EQ(poll(&p, 1, -1), 1);
  // Readable, not yet reaped: the owner still has it.
  EXPECT_TRUE(child.valid());
  EXPECT_TRUE(child.tryReap());
  EXPECT_EQ(child.pidfd(), -1);
}

TEST(ChildProcessTest, OwnershipEndsInAReapedChild) {
  pid_t pid;
  {
    ChildProcess dropped(forkSleeper());
    pid = dropped.pid();
  }
  EXPECT_FALSE(exists(pid));  // killed and reaped, no zombie

  ChildProcess first(forkSleeper());
  const pid_t firstPid = first.pid();
  ChildProcess second(forkSleeper());
  const pid_t secondPid = second.pid();
  first = std::move(second);  // the child owned before goes
  EXPECT_FALSE(exists(firstPid));
  EXPECT_EQ(first.pid(), secondPid);
  EXPECT_FALSE(second.valid());
  ChildProcess moved(std::move(first));
  EXPECT_EQ(moved.pid(), secondPid);
  moved = ChildProcess();
  EXPECT_FALSE(exists(secondPid));

  // Released: the caller has it, alive, and reaps it itself.
  ChildProcess owner(forkSleeper());
  const pid_t released = owner.release();
  owner = ChildProcess();
  EXPECT_TRUE(exists(released));
  kill(released, SIGKILL);
  int raw;
  EXPECT_EQ(waitpid(released, &raw, 0), released);

  // Reaped by somebody else: the owner takes it as gone.
  ChildProcess other(forkExiting(0));
  ASSERT_EQ(waitpid(other.pid(), &raw, 0), other.pid());
  ExitStatus status;
  EXPECT_TRUE(other.tryReap(&status));
  EXPECT_FALSE(status.exited);
  EXPECT_EQ(status.signal, -1);
  EXPECT_TRUE(noChildLeft());
}

}  // namespace
