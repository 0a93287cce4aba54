// What components write on standard error and after their answer ends up in
// the monitor's log, and a component that writes without pause neither
// floods that log nor holds up the supervision of the others.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "file_util.h"
#include "support/monitor_harness.h"

namespace {

using norvak_test::CompDef;
using norvak_test::ConfValues;
using norvak_test::MonitorHarness;

const char kStarted[] = "Norvak (R) Components Monitor started";

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

CompDef comp(const std::string& name, const std::string& args = "") {
  CompDef c(name, args);
  c.timeStart = 5;
  c.timeStop = 3;
  return c;
}

TEST(MonitorOutputTest, FloodOnStandardErrorIsCutToABurstAndSupervisionGoesOn) {
  MonitorHarness h;
  h.setStopGrace(10);
  ConfValues conf;
  conf.level = "Info";
  conf.runAppList = "AGENT, CHAT, VICTIM";
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
  h.writeMeta("chat.mmc", h.app("CHAT", "AGENT", {comp("chatter")}));
  h.writeMeta("victim.mmc", h.app("VICTIM", "AGENT", {comp("victim")}));
  h.writeConf(conf);
  // 10,000 lines at once, then more without pause for as long as it runs.
  const std::string chatter = h.binDir() + "chatter";
  ASSERT_EQ(0, unlink(chatter.c_str()));
  writeScript(chatter,
              "printf ' '\n"
              "seq -f 'chat %g' 1 10000 >&2\n"
              "exec yes flood >&2\n");
  h.start();
  ASSERT_GE(h.waitLine(kStarted), 0) << h.stderrText();
  const pid_t victim = h.waitComponent("victim");
  ASSERT_GT(victim, 0);

  ASSERT_GE(h.waitLine("component \"chatter\": chat 1", 0, 10), 0) << "no output logged";
  const long long t0 = nowMs();
  EXPECT_GE(h.waitLine("component \"chatter\": chat 100", 0, 5), 0);
  ASSERT_GE(h.waitLine("component \"chatter\": ", 0, 5), 0);
  ASSERT_GE(h.waitLine(" lines suppressed", 0, 5), 0) << "no count of suppressed lines";

  const double cpu0 = norvak_test::cpuSecondsOf(h.pid());
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  const double cpu = norvak_test::cpuSecondsOf(h.pid()) - cpu0;
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
