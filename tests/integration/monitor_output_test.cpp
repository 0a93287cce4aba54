// What components write on standard error and after their answer ends up in
// the monitor's log, and a component that writes without pause neither
// floods that log nor holds up the supervision of the others.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "file_util.h"
#include "support/monitor_harness.h"

namespace {

using norvak_test::ConfValues;
using norvak_test::MonitorHarness;
using norvak_test::nowMs;

TEST(MonitorOutputTest, FloodOnStandardErrorIsCutToABurstAndSupervisionGoesOn) {
  MonitorHarness h;
  h.setStopGrace(10);
  ConfValues conf;
  conf.level = "Info";
  conf.runAppList = "AGENT, CHAT, VICTIM";
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
  h.writeMeta("chat.mmc", h.app("CHAT", "AGENT", {{"chatter"}}));
  h.writeMeta("victim.mmc", h.app("VICTIM", "AGENT", {{"victim"}}));
  h.writeConf(conf);
  // 10,000 lines at once, then more without pause for as long as it runs.
  const std::string chatter = h.binDir() + "chatter";
  ASSERT_EQ(0, unlink(chatter.c_str()));
  writeScript(chatter,
              "printf ' '\n"
              "seq -f 'chat %g' 1 10000 >&2\n"
              "exec yes flood >&2\n");
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t victim = h.waitComponent("victim");
  ASSERT_GT(victim, 0);

  ASSERT_GE(h.waitLine("component \"chatter\": chat 1", 0, 10), 0) << "no output logged";
  const long long t0 = nowMs();
  EXPECT_GE(h.waitLine("component \"chatter\": chat 100", 0, 5), 0);
  ASSERT_GE(h.waitLine("component \"chatter\": ", 0, 5), 0);
  ASSERT_GE(h.waitLine(" lines suppressed", 0, 5), 0) << "no count of suppressed lines";

  const double cpu = norvak_test::cpuSecondsOver(h.pid(), 2000);
  EXPECT_LT(cpu, 0.5) << "CPU seconds of the monitor over 2 s";

  // A burst of 100 lines and one count per second, at most.
  const long long seconds = (nowMs() - t0) / 1000 + 2;
  const int records = h.countLines("component \"chatter\": ");
  EXPECT_LE(records, 101 * seconds) << "records of the chatter in about " << seconds << " s";

  const long long k0 = nowMs();
  ASSERT_EQ(kill(victim, SIGKILL), 0);
  EXPECT_GT(h.waitComponent("victim", victim, 5), 0) << "not restarted beside the flood";
  EXPECT_LT(nowMs() - k0, 5000);
}

}  // namespace
