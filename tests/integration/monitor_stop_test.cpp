// Stops take their time without taking anybody else's: a component that
// ignores SIGTERM holds up only its own application, whatever began the
// stop, and the monitor's own stop runs the applications' stops side by
// side, dependents first.

#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/monitor_harness.h"
#include "support/program_run.h"

namespace {

using norvak_test::CompDef;
using norvak_test::MonitorHarness;
using norvak_test::nowMs;

std::string stoppedLine(const std::string& app) {
  return "application \"" + app + "\" has been stopped";
}

// SLOW's "stubborn" ignores SIGTERM for its whole stop time (10 s), after
// which it is killed; its "fragile" fails its restart once the args file
// says so.
TEST(MonitorStopTest, AStopWaitingOnAnIgnoredSigtermHoldsUpNoRestartElsewhere) {
  enum Way { kControl, kReloadDrop, kReloadDelete, kGiveUp };
  const char* const names[] = {"stop request", "reload dropping the application",
                               "reload deleting the component", "give-up"};
  for (Way way : {kControl, kReloadDrop, kReloadDelete, kGiveUp}) {
    SCOPED_TRACE(names[way]);
    MonitorHarness h;
    h.setStopGrace(20);
    const std::string fragileArgs = h.root() + "/fragile.args";
    h.agentSuite({{"VICTIM", CompDef("victim")}});
    h.writeMeta("slow.mmc", h.app("SLOW", "AGENT",
                                  {CompDef("stubborn", "--term=ignore", 5, 10),
                                   CompDef("fragile", "--args-file=" + fragileArgs)}));
    h.setConfValue("RunAppList", "AGENT, VICTIM, SLOW");
    h.setConfValue("Address", "local:" + h.runDir() + "mgmt.sock");
    ASSERT_TRUE(h.startUp()) << h.stderrText();
    const pid_t stubborn = h.waitComponent("stubborn");
    const pid_t fragile = h.waitComponent("fragile");
    ASSERT_GT(stubborn, 0);
    ASSERT_GT(fragile, 0);

    std::thread request;
    switch (way) {
      case kControl:
        // Answered once the stop is over.
        request = std::thread([&h] { norvak_test::runCtl(h.confFile(), {"stop", "SLOW"}); });
        break;
      case kReloadDrop:
        h.removeMeta("slow.mmc");
        h.setConfValue("RunAppList", "AGENT, VICTIM");
        h.signal(SIGHUP);
        break;
      case kReloadDelete:
        h.writeMeta("slow.mmc", h.app("SLOW", "AGENT", {CompDef("fragile")}));
        h.signal(SIGHUP);
        break;
      case kGiveUp:
        norvak_test::writeFile(fragileArgs, "--answer=x");
        ASSERT_EQ(kill(fragile, SIGKILL), 0);
        break;
    }
    ASSERT_GE(h.waitLine("kill -TERM pid=" + std::to_string(stubborn), 0, 10), 0);
    const long long ms = h.restartMs("victim");
    EXPECT_GE(ms, 0) << "no restart beside the stop";
    EXPECT_LT(ms, 3000) << "restart time 1 s";
    EXPECT_EQ(h.componentPids("stubborn"), std::vector<pid_t>{stubborn})
        << "the stop was to wait still";
    EXPECT_GE(h.waitLine("component \"stubborn\" terminated by signal 9", 0, 15), 0);
    if (request.joinable()) request.join();
    EXPECT_TRUE(h.componentPids("stubborn").empty());
  }
}

TEST(MonitorStopTest, TwentyApplicationsIgnoringSigtermStopSideBySideDependentsFirst) {
  MonitorHarness h;
  h.setStopGrace(20);
  std::vector<std::pair<std::string, CompDef>> apps;
  for (int i = 0; i < 20; ++i)
    apps.push_back({"DEAF" + std::to_string(i), CompDef("deaf" + std::to_string(i), "--term=ignore", 5, 3)});
  h.agentSuite(apps);
  ASSERT_TRUE(h.startUp()) << h.stderrText();

  const long long t0 = nowMs();
  h.signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(h.waitExit(status, 15));
  EXPECT_LT(nowMs() - t0, 6000) << "20 stops of 3 s each, side by side";
  const int agent = h.findLine(stoppedLine("AGENT"));
  EXPECT_GE(agent, 0);
  for (const auto& app : apps) {
    const int line = h.findLine(stoppedLine(app.first));
    EXPECT_GE(line, 0) << app.first;
    EXPECT_LT(line, agent) << app.first << " stopped after what it depends on";
  }
}

}  // namespace
