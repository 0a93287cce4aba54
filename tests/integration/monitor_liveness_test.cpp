// Supervision never pauses: what one component's trouble (a slow or missing
// answer, a helper holding its output, a flood of output), a broken reload or
// a stuck mail command costs the other components and the monitor itself.
// Bounds are wide: a right monitor is well inside them, a monitor that waits
// for the trouble to end is well outside.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/monitor_harness.h"
#include "support/program_run.h"

namespace {

using norvak_test::CompDef;
using norvak_test::ConfValues;
using norvak_test::MonitorHarness;
using norvak_test::nowMs;
using norvak_test::sleepMs;

// The record of a component whose start has been answered.
std::string startedLine(const std::string& comp, const std::string& app) {
  return "component \"" + comp + "\" from application \"" + app + "\" has been started";
}

// Kills, when the test ends, what the harness's orderly stop would otherwise
// wait for (a helper holding a dead component's output).
struct KillOnExit {
  std::string text;
  ~KillOnExit() { norvak_test::killMentioning(text); }
};

// B dies while A's restart waits for A's answer, or for the end of a process
// that answered wrongly: B's restart must not queue behind that wait.
// slowArgs make A's restarted process slow.
void checkRestartBesideAPendingAnswer(const std::string& slowArgs, int stopTime = 1) {
  MonitorHarness h;
  h.setStopGrace(20);
  const std::string slowArgsFile = h.root() + "/slow.args";
  h.agentSuite({{"SLOW", CompDef("slow", "--args-file=" + slowArgsFile, 20, stopTime)},
                 {"VICTIM", CompDef("victim")}});
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t slow = h.waitComponent("slow");
  const pid_t victim = h.waitComponent("victim");
  ASSERT_GT(slow, 0);
  ASSERT_GT(victim, 0);

  norvak_test::writeFile(slowArgsFile, slowArgs);
  const size_t before = h.lineCount();
  ASSERT_EQ(kill(slow, SIGKILL), 0);
  ASSERT_TRUE(h.waitLines(h.argsLog("slow"), 2, 10)) << "A not restarted";

  const long long t0 = nowMs();
  ASSERT_EQ(kill(victim, SIGKILL), 0);
  const int back = h.waitLine(startedLine("victim", "VICTIM"), before, 4);
  const long long took = nowMs() - t0;
  ASSERT_GE(back, 0) << "B not back within 4 s (restart time 1 s) while A's restart waits";
  EXPECT_LT(took, 4000);
  EXPECT_GT(h.waitComponent("victim", victim, 2), 0);
  EXPECT_EQ(h.findLine(startedLine("slow", "SLOW"), before), -1)
      << "A's restart was to be still waiting when B came back";
}

TEST(MonitorLivenessTest, RestartIsNotHeldUpByAnotherComponentsPendingAnswer) {
  {
    SCOPED_TRACE("A answers after 8 s");
    checkRestartBesideAPendingAnswer("--answer-delay=8000");
  }
  {
    SCOPED_TRACE("A never answers (time-out 20 s) and ignores SIGTERM");
    checkRestartBesideAPendingAnswer("--answer=none --term=ignore");
  }
  {
    SCOPED_TRACE("A answers wrongly and ignores SIGTERM (stop time 10 s)");
    checkRestartBesideAPendingAnswer("--answer=x --term=ignore", 10);
  }
}

TEST(MonitorLivenessTest, SigtermDuringAStartThatWaitsForItsAnswerEndsTheMonitor) {
  MonitorHarness h;
  h.setStopGrace(5);
  h.agentSuite({{"SLOW", CompDef("mute", "--answer=none", 30, 2)}});
  h.start();
  ASSERT_TRUE(h.waitLines(h.argsLog("mute"), 1, 10)) << h.stderrText();
  ASSERT_GT(h.waitComponent("agent"), 0);

  const long long t0 = nowMs();
  h.signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(h.waitExit(status, 8)) << "still running 8 s after SIGTERM (time-out of the start: "
                                        "30 s)";
  EXPECT_LT(nowMs() - t0, 8000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // A component still running a second after the monitor's end was left.
  for (int i = 0; i < 100 && !norvak_test::processesMentioning(h.root() + "/").empty(); ++i)
    sleepMs(10);
  EXPECT_TRUE(norvak_test::processesMentioning(h.root() + "/").empty());
}

// A reload that cannot read monitor.conf fails once, as a whole, and the
// monitor goes on with what it had: no busy retrying, deaths still handled.
void checkReloadOfABrokenConfiguration(bool moveAway) {
  MonitorHarness h;
  h.setStopGrace(10);
  ConfValues conf;
  h.agentSuite({{"VICTIM", CompDef("victim")}}, conf);
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t victim = h.waitComponent("victim");
  ASSERT_GT(victim, 0);

  if (moveAway) {
    ASSERT_EQ(rename(h.confFile().c_str(), (h.confFile() + ".away").c_str()), 0);
  } else {
    conf.runAppList = "AGENT, VICTIM";
    conf.omitKeys = {"Address"};
    h.writeConf(conf);
  }
  const size_t before = h.lineCount();
  h.signal(SIGHUP);
  ASSERT_GE(h.waitLine("arrived SIGHUP", before, 5), 0);

  const double cpu = norvak_test::cpuSecondsOver(h.pid(), 2000);
  EXPECT_LT(cpu, 0.5) << "CPU seconds used in the 2 s after the failed reload";

  ASSERT_EQ(kill(victim, SIGKILL), 0);
  EXPECT_GT(h.waitComponent("victim", victim, 5), 0) << "death not handled after the reload";
  EXPECT_EQ(h.countLines("reload error: ", before), 1);
  EXPECT_EQ(h.countLines("internal error in main loop", before), 0);
}

TEST(MonitorLivenessTest, ReloadOfABrokenConfigurationFailsOnceAndSupervisionGoesOn) {
  {
    SCOPED_TRACE("mandatory key Address missing");
    checkReloadOfABrokenConfiguration(false);
  }
  {
    SCOPED_TRACE("monitor.conf moved away");
    checkReloadOfABrokenConfiguration(true);
  }
}

TEST(MonitorLivenessTest, SighupDuringAReloadCausesAnotherReload) {
  MonitorHarness h;
  h.setStopGrace(10);
  h.agentSuite({{"SLOW", CompDef("slow")}});
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  ASSERT_GT(h.waitComponent("slow"), 0);
  ASSERT_TRUE(h.hups("agent").empty());

  // The reload adds a component that takes 2 s to answer: that reload is
  // still at work when the second SIGHUP comes. Every reload passes a SIGHUP
  // on to the agent.
  h.writeMeta("SLOW.mmc",
              h.app("SLOW", "AGENT", {CompDef("slow"), CompDef("late", "--answer-delay=2000", 10)}));
  // The agent's own record cannot count them: two SIGHUPs sent to it in the
  // same instant are one pending signal.
  const size_t before = h.lineCount();
  h.signal(SIGHUP);
  ASSERT_TRUE(h.waitLines(h.argsLog("late"), 1, 10)) << "the reload did not start the component";
  h.signal(SIGHUP);

  EXPECT_GE(h.waitLine("reload: no application changed", before, 8), 0)
      << "the second SIGHUP did not reload";
  EXPECT_TRUE(h.waitLines(h.hupLog("agent"), 1, 8));
  sleepMs(1500);
  EXPECT_EQ(h.countLines("reload: no application changed", before), 1) << "two SIGHUPs, two reloads";
  EXPECT_EQ(h.countLines("reload error", before), 0);
}

TEST(MonitorLivenessTest, ReloadIntroducingADependencyCycleIsRefusedAndAFixedOneTakenOver) {
  MonitorHarness h;
  h.setStopGrace(10);
  ConfValues conf("AGENT, FRONT, BACK");
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
  h.writeMeta("back.mmc", h.app("BACK", "AGENT", {{"backd"}}));
  h.writeMeta("front.mmc", h.app("FRONT", "BACK", {{"frontd"}}));
  h.writeConf(conf);
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t agent = h.waitComponent("agent");
  const pid_t back = h.waitComponent("backd");
  const pid_t front = h.waitComponent("frontd");
  ASSERT_GT(front, 0);

  // BACK -> FRONT -> BACK.
  h.writeMeta("back.mmc", h.app("BACK", "AGENT, FRONT", {{"backd"}}));
  const size_t before = h.lineCount();
  h.signal(SIGHUP);
  EXPECT_GE(h.waitLine("reload error: ", before, 5), 0) << "the cycle was not refused";
  EXPECT_TRUE(h.waitLines(h.hupLog("agent"), 1, 5));
  EXPECT_EQ(h.waitComponent("agent", -1, 1), agent);
  EXPECT_EQ(h.waitComponent("backd", -1, 1), back);
  EXPECT_EQ(h.waitComponent("frontd", -1, 1), front);
  // Still supervised.
  ASSERT_EQ(kill(front, SIGKILL), 0);
  const pid_t newFront = h.waitComponent("frontd", front, 5);
  EXPECT_GT(newFront, 0) << "a death after the refused reload was not handled";

  // Fixed, with one more component to show that the files were read again.
  h.writeMeta("back.mmc", h.app("BACK", "AGENT", {{"backd"}, {"backup"}}));
  const size_t fixed = h.lineCount();
  h.signal(SIGHUP);
  EXPECT_GT(h.waitComponent("backup", -1, 10), 0) << "the fixed files were not taken over";
  EXPECT_EQ(h.countLines("reload error: ", fixed), 0);
  EXPECT_EQ(h.countLines("interdependence", fixed), 0);
  EXPECT_EQ(h.waitComponent("backd", -1, 1), back);
  EXPECT_EQ(h.waitComponent("frontd", -1, 1), newFront);
}

// The helper, a child the component leaves running in its process group,
// holds the component's output: the death is noticed all the same, and the
// helper goes with the dead component and, later, with the monitor's stop.
TEST(MonitorLivenessTest, DeathIsNoticedWhileAHelperStillHoldsTheComponentsOutput) {
  MonitorHarness h;
  h.setStopGrace(10);
  h.agentSuite({{"KEEPER", CompDef("keeper", "--spawn-holder")}});
  KillOnExit holders{h.binDir() + "keeper-holder"};
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t keeper = h.waitComponent("keeper");
  const pid_t holder = h.waitComponent("keeper-holder");
  ASSERT_GT(keeper, 0);
  ASSERT_GT(holder, 0);

  const size_t before = h.lineCount();
  ASSERT_EQ(kill(keeper, SIGKILL), 0);
  EXPECT_GE(h.waitLine("component \"keeper\" terminated by signal", before, 5), 0)
      << "the death was not noticed";
  EXPECT_GT(h.waitComponent("keeper", keeper, 5), 0) << "not restarted (restart time 1 s)";
  ASSERT_TRUE(h.waitLines(h.argsLog("keeper"), 2, 5));
  sleepMs(200);  // the new process's helper
  const pid_t next = h.waitComponent("keeper-holder", -1, 5);
  EXPECT_GT(next, 0);
  EXPECT_NE(next, holder) << "the helper of the dead process outlived it";

  int status = 0;
  h.signal(SIGTERM);
  ASSERT_TRUE(h.waitExit(status, 10));
  EXPECT_TRUE(h.componentPids("keeper-holder").empty()) << "a helper outlived the monitor";
}

TEST(MonitorLivenessTest, MailCommandThatNeverEndsKeepsThreadsAndChildrenBounded) {
  MonitorHarness h;
  h.setStopGrace(10);
  // Takes the mail without reading it and never ends.
  h.addComponent("stuck-inject", "inject");
  ConfValues conf;
  conf.injectCmd = h.root() + "/inject/stuck-inject --answer=none";
  conf.recoveryTimeList = "0";
  // Each answer counts at once, or the second kill would be given up.
  conf.stableTime = "0";
  conf.level = "Info";
  h.agentSuite({{"VICTIM", CompDef("victim")}}, conf);
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  pid_t victim = h.waitComponent("victim");
  ASSERT_GT(victim, 0);

  // Every crash and every recovery is mailed. Each kill waits for the
  // restart's answer: a process killed before it answered is a failed try.
  for (int i = 0; i < 15; ++i) {
    const size_t before = h.lineCount();
    ASSERT_EQ(kill(victim, SIGKILL), 0);
    const pid_t next = h.waitComponent("victim", victim, 10);
    ASSERT_GT(next, 0) << "crash " << i + 1 << " not restarted; monitor threads "
                       << norvak_test::threadsOf(h.pid()) << ", children "
                       << norvak_test::childrenOf(h.pid()).size();
    ASSERT_GE(h.waitLine("component \"victim\" from application \"VICTIM\" has been started",
                         before, 10),
              0)
        << "restart " << i + 1 << " did not answer";
    victim = next;
  }
  sleepMs(1000);
  const int threads = norvak_test::threadsOf(h.pid());
  const size_t children = norvak_test::childrenOf(h.pid()).size();
  const size_t stuck = norvak_test::processesMentioning(h.root() + "/inject/").size();
  EXPECT_LE(threads, 20) << "monitor threads after 15 crashes";
  // The two components and at most 8 deliveries.
  EXPECT_LE(children, 10u) << "monitor children after 15 crashes; stuck mail commands: " << stuck;

  ASSERT_EQ(kill(victim, SIGKILL), 0);
  EXPECT_GT(h.waitComponent("victim", victim, 5), 0) << "no longer restarting";
}

TEST(MonitorLivenessTest, ComponentFloodingItsOutputCostsLittleCpuAndItsDeathIsNoticed) {
  MonitorHarness h;
  h.setStopGrace(10);
  ConfValues conf;
  conf.level = "Info";
  h.agentSuite({{"GUSH", CompDef("gusher", "--flood-after-answer")}}, conf);
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t gusher = h.waitComponent("gusher");
  ASSERT_GT(gusher, 0);

  sleepMs(500);
  const double cpu = norvak_test::cpuSecondsOver(h.pid(), 2000);
  EXPECT_LT(cpu, 0.4) << "CPU seconds of the monitor over 2 s";
  EXPECT_TRUE(norvak_test::processExists(gusher)) << "the flood was to last throughout";

  ASSERT_EQ(kill(gusher, SIGKILL), 0);
  EXPECT_GT(h.waitComponent("gusher", gusher, 5), 0) << "death not handled";
}

// Signals are events of the loop: a SIGHUP is taken up at once, not on some
// later turn. The best of a few tries, so that a loaded machine's scheduling
// does not count. A FIFO named like a hup file, which nobody reads, is
// skipped by the hup pass with a warning; the loop goes on at once.
TEST(MonitorLivenessTest, SighupIsActedOnAtOnceAndAFifoNamedLikeAHupFileHoldsUpNothing) {
  MonitorHarness h;
  h.setStopGrace(10);
  h.agentSuite({{"VICTIM", CompDef("victim")}});
  h.setConfValue("Address", "local:" + h.runDir() + "mgmt.sock");
  const std::string fifo = h.runDir() + "x.1.hup";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  long long best = 1000000;
  for (int i = 0; i < 5; ++i) {
    const size_t before = h.lineCount();
    const long long t0 = nowMs();
    h.signal(SIGHUP);
    while (h.findLine("Monitor::reload()", before) < 0 && nowMs() - t0 < 5000) sleepMs(1);
    best = std::min(best, nowMs() - t0);
    ASSERT_TRUE(h.waitLines(h.hupLog("agent"), static_cast<size_t>(i + 1), 5));
  }
  EXPECT_LT(best, 50) << "milliseconds from SIGHUP to the reload";

  const pid_t victim = h.waitComponent("victim");
  ASSERT_GT(victim, 0);
  const size_t before = h.lineCount();
  EXPECT_EQ(norvak_test::runCtl(h.confFile(), {"reload", std::to_string(victim)}).status, 0);
  EXPECT_GE(h.waitLine("hup file \"" + fifo + "\" is not a regular file, skipped", before, 5), 0);
  const long long ms = h.restartMs("victim");
  EXPECT_GE(ms, 0) << "no restart after the hup pass";
  EXPECT_LT(ms, 3000) << "restart time 1 s";
}

// ctime() text at the start of a log record, as a time; -1 if none.
time_t stampOf(const std::string& line) {
  struct tm tmv = {};
  if (line.size() < 24 || !strptime(line.substr(0, 24).c_str(), "%a %b %e %H:%M:%S %Y", &tmv))
    return -1;
  tmv.tm_isdst = -1;
  return mktime(&tmv);
}

TEST(MonitorLivenessTest, RestartScheduleIgnoresAStepOfTheWallClock) {
  MonitorHarness h;
  h.setStopGrace(10);
  ASSERT_TRUE(h.useClockShift()) << "the wall-clock shim was not built";
  ConfValues conf;
  conf.recoveryTimeList = "2";
  h.agentSuite({{"VICTIM", CompDef("victim")}}, conf);
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t victim = h.waitComponent("victim");
  ASSERT_GT(victim, 0);

  const size_t before = h.lineCount();
  ASSERT_EQ(kill(victim, SIGKILL), 0);
  ASSERT_GE(h.waitLine("component \"victim\" terminated by signal", before, 5), 0);
  // The restart is now due in 2 s; the wall clock goes back an hour.
  h.shiftWallClock(-3600);
  const size_t stepped = h.lineCount();
  EXPECT_GT(h.waitComponent("victim", victim, 6), 0) << "not restarted after the clock step";

  // The records written after the step show it: the shim was in force. A
  // record may span lines (a mail's text): the last stamped line counts.
  const size_t n = h.lineCount();
  ASSERT_GT(n, stepped) << "nothing logged after the step";
  time_t logged = -1;
  for (size_t i = n; logged == -1 && i-- > stepped;) logged = stampOf(h.lineAt(i));
  ASSERT_NE(logged, -1) << "no stamped record after the step";
  EXPECT_GT(time(nullptr) - logged, 3000) << "the monitor's wall clock was not stepped";
}

}  // namespace
