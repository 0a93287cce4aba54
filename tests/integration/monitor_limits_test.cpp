// What a component's process is given: the limits and the environment its
// application's file asks for, and nothing of the monitor's beyond that.

#include <gtest/gtest.h>
#include <signal.h>

#include <set>
#include <string>
#include <vector>

#include "support/monitor_harness.h"

namespace {

using norvak_test::ConfValues;
using norvak_test::MonitorHarness;

TEST(MonitorLimitsTest, ComponentGetsItsLimitsAndOnlyTheEnvironmentAskedFor) {
  MonitorHarness h;
  ConfValues conf("AGENT, PROBE, GREEDY");
  conf.level = "Info";
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
  std::string probe =
      h.app("PROBE", "AGENT", {{"clean", "--print-env --print-limits"}, {"plain", "--print-env"}});
  probe.insert(probe.find("ENDAPPLICATION"),
               "  LIMIT clean NOFILE 64:128\n  LIMIT clean core 0\n  MEMORY clean 64M\n"
               "  ENVIRONMENT clean CLEAN\n  ENV clean \"GREETING=hello world\"\n"
               "  ENV clean ASIS=$HOME\n");
  h.writeMeta("probe.mmc", probe);
  // More open files than the system grants anybody.
  std::string greedy = h.app("GREEDY", "AGENT", {{"greedy"}});
  greedy.insert(greedy.find("ENDAPPLICATION"), "  LIMIT NOFILE unlimited\n");
  h.writeMeta("greedy.mmc", greedy);
  h.setEnv("LANG", "C.UTF-8");
  h.setEnv("NORVAK_TEST_SECRET", "inherited");
  h.writeConf(conf);
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  ASSERT_GE(h.waitLine("component \"clean\": env end", 0, 10), 0)
      << norvak_test::readFile(h.logFile());
  ASSERT_GE(h.waitLine("component \"plain\": env end"), 0);

  const std::string prefix = "component \"clean\": env ";
  std::set<std::string> env;
  for (size_t i = 0; i < h.lineCount(); ++i) {
    const std::string line = h.lineAt(i);
    const size_t at = line.find(prefix);
    if (at == std::string::npos || line.compare(at + prefix.size(), 4, "end") == 0) continue;
    const std::string var = line.substr(at + prefix.size());
    // The user's variables vary with the machine; they are there, though.
    const std::string name = var.substr(0, var.find('='));
    env.insert(name == "HOME" || name == "USER" || name == "LOGNAME" ? name : var);
  }
  EXPECT_EQ(env, (std::set<std::string>{
                     "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                     "LANG=C.UTF-8", "HOME", "USER", "LOGNAME", "GREETING=hello world",
                     "ASIS=$HOME"}));
  EXPECT_GE(h.findLine("component \"plain\": env NORVAK_TEST_SECRET=inherited"), 0);
  EXPECT_GE(h.findLine("component \"clean\": limit NOFILE 64 128"), 0);
  EXPECT_GE(h.findLine("component \"clean\": limit CORE 0 0"), 0);

  // A ceiling is kept, or it is said once why not.
  EXPECT_EQ(h.countLines("memory ceilings are not kept (component \"clean\" asks for one): ") +
                h.countLines("memory ceilings are kept in cgroup "),
            1);
  if (h.findLine("memory ceilings are kept") >= 0) {
    EXPECT_GE(h.findLine("/comp.clean.1"), 0);
  }

  EXPECT_GE(h.waitLine("cannot set limit NOFILE unlimited: Operation not permitted", 0, 10), 0);
  EXPECT_LT(h.findLine("component \"greedy\" from application \"GREEDY\" has been started"), 0);

  // A changed setting waits for the component's next start.
  const pid_t clean = h.waitComponent("clean");
  probe.replace(probe.find("NOFILE 64:128"), 13, "NOFILE 32");
  h.writeMeta("probe.mmc", probe);
  h.signal(SIGHUP);
  EXPECT_GE(h.waitLine("component \"clean\" changed limits or environment (from its next start)"),
            0);
  EXPECT_EQ(h.componentPids("clean"), std::vector<pid_t>{clean});
  ASSERT_EQ(kill(clean, SIGKILL), 0);
  EXPECT_GE(h.waitLine("component \"clean\": limit NOFILE 32 32"), 0);
}

}  // namespace
