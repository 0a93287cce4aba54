// What components wrote, read back with norvak-monitor-ctl logs and
// followed with -f, and the monitor's own log reopened on request.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "frame/spawn.h"
#include "support/monitor_harness.h"
#include "support/program_run.h"
#include "wait_util.h"

namespace {

using norvak_test::ProgramRun;

TEST(MonitorLogsTest, LastLinesFollowedLinesAndTheLogReopenedWithoutSignallingAnyone) {
  norvak_test::MonitorHarness h;
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
  h.writeMeta("talk.mmc", h.app("TALK", "AGENT", {{"talker"}}));
  h.writeConf(norvak_test::ConfValues("AGENT, TALK"));
  h.setConfValue("Address", "local:" + h.runDir() + "mgmt.sock");
  // Twelve lines, then on standard error whatever comes through the fifo.
  const std::string fifo = h.root() + "/talk.fifo", pidFile = h.root() + "/talker.pid";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  ASSERT_EQ(0, unlink((h.binDir() + "talker").c_str()));
  writeScript(h.binDir() + "talker", "echo $$ >" + pidFile + "\nprintf ' '\nseq -f 'line %g' 1 12\n" +
                                         "exec cat <" + fifo + " >&2\n");
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  auto ctl = [&h](std::vector<std::string> args) { return norvak_test::runCtl(h.confFile(), args); };

  ProgramRun five;
  ASSERT_TRUE(waitUntil([&] {
    five = ctl({"logs", "TALK", "-n", "5"});
    return five.status != 0 || five.out.find("line 12") != std::string::npos;
  })) << five.out;
  ASSERT_EQ(0, five.status) << five.err;
  EXPECT_EQ(5u, lineCount(five.out)) << five.out;
  for (int i = 8; i <= 12; ++i)
    EXPECT_NE(std::string::npos, five.out.find(" talker out: line " + std::to_string(i) + "\n"));
  const ProgramRun named = ctl({"logs", "TALK", "talker", "-n", "1"});
  EXPECT_EQ(1u, lineCount(named.out)) << named.out;
  EXPECT_NE(std::string::npos, named.out.find(" out: line 12\n")) << named.out;
  EXPECT_EQ(std::string::npos, named.out.find("talker")) << "named: no prefix";
  for (const auto& bad : std::vector<std::vector<std::string>>{{"logs", "NOPE"}, {"logs", "TALK", "nope"}}) {
    const ProgramRun refused = ctl(bad);
    EXPECT_EQ(1, refused.status) << bad.back();
    EXPECT_NE(std::string::npos, refused.err.find("unknown")) << refused.err;
  }

  // A new line shows while following; Ctrl-C ends the follower cleanly.
  const std::string followed = h.root() + "/followed";
  const int out = open(followed.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  SpawnPlan plan;
  plan.path = norvak_test::kCtl;
  plan.argv = {plan.path, "--conf", h.confFile(), "logs", "-f", "-n", "1", "TALK"};
  plan.stdoutFd = out;
  plan.clearSignalMask = true;
  ChildProcess follower = spawn(plan);
  close(out);
  ASSERT_TRUE(waitForText(followed, "out: line 12\n")) << readFile(followed);
  int writer = -1;  // cat opens the fifo only after the lines
  ASSERT_TRUE(waitUntil([&] { return (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }));
  ASSERT_EQ(6, write(writer, "fresh\n", 6));
  const long long t0 = norvak_test::nowMs();
  EXPECT_TRUE(waitForText(followed, "talker err: fresh\n")) << readFile(followed);
  RecordProperty("follow_ms", std::to_string(norvak_test::nowMs() - t0));
  ASSERT_TRUE(follower.kill(SIGINT));
  ExitStatus status;
  EXPECT_FALSE(follower.waitOrKill(10, &status));
  EXPECT_TRUE(status.exited && status.code == 0);

  // Rotated: the records go on in a new file by the old name, and nobody
  // got SIGHUP (which would end cat and so the talker).
  const std::string rotated = h.logFile() + ".1";
  ASSERT_EQ(0, rename(h.logFile().c_str(), rotated.c_str()));
  EXPECT_EQ(0, ctl({"reopen-logs"}).status);
  EXPECT_NE(std::string::npos, readFile(h.logFile()).find("log file reopened at the administrator's request"));
  EXPECT_EQ(std::string::npos, readFile(rotated).find("log file reopened"));
  EXPECT_TRUE(h.hups("agent").empty());
  EXPECT_EQ(0, kill(atoi(readFile(pidFile).c_str()), 0));
  h.shutdown();
  close(writer);
}

}  // namespace
