// The monitor as a whole process: start order, shut-down order, the end of
// the program when the last application is gone, and the start-up failures
// that end it at once.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "support/monitor_harness.h"

namespace {

using norvak_test::CompDef;
using norvak_test::ConfValues;
using norvak_test::MonitorHarness;

// The application's own record, not one of its components' ("component ...
// from application ...").
std::string appLine(const std::string& app, const char* what) {
  return "INFO application \"" + app + "\" " + what;
}

// A four-level suite in which the run list names only the top: everything
// below has to be pulled in through the dependencies.
void writeSuite(MonitorHarness& h) {
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
  h.writeMeta("maild.mmc", h.app("MAILD", "AGENT", {{"maild"}, {"smtpd"}}));
  h.writeMeta("filter.mmc", h.app("FILTER", "AGENT, MAILD", {{"scanner"}}));
  h.writeMeta("web.mmc", h.app("WEB", "MAILD", {{"httpd"}}));
  h.writeConf(ConfValues("web, FILTER"));
}

TEST(MonitorRunTest, StartsByDependenciesAndStopsDependentsFirst) {
  MonitorHarness h;
  writeSuite(h);
  ASSERT_TRUE(h.startUp()) << h.stderrText();

  // Start order: each application after everything it depends on, each once.
  const int agent = h.findLine(appLine("AGENT", "has been started"));
  const int maild = h.findLine(appLine("MAILD", "has been started"));
  const int filter = h.findLine(appLine("FILTER", "has been started"));
  const int web = h.findLine(appLine("WEB", "has been started"));
  ASSERT_GE(agent, 0);
  ASSERT_GE(filter, 0);
  ASSERT_GE(web, 0);
  EXPECT_LT(agent, maild);
  EXPECT_LT(maild, filter);
  EXPECT_LT(maild, web);
  EXPECT_LT(h.findLine(appLine("MAILD", "has been started"), maild + 1), 0)
      << "MAILD started twice";
  // Components of one application in their listed order.
  EXPECT_LT(h.findLine("component \"maild\" from application \"MAILD\" has been started"),
            h.findLine("component \"smtpd\" from application \"MAILD\" has been started"));

  const std::vector<std::string> comps = {"agent", "maild", "smtpd", "scanner", "httpd"};
  std::vector<pid_t> pids;
  for (const std::string& comp : comps) {
    EXPECT_EQ(h.starts(comp).size(), 1u) << comp;
    pid_t p = h.waitComponent(comp);
    EXPECT_GT(p, 0) << comp;
    pids.push_back(p);
  }
  EXPECT_EQ(norvak_test::readFile(h.pidFile()), std::to_string(h.pid()) + "\n");

  // Every component hears a SIGHUP sent to the monitor.
  const size_t beforeHup = h.lineCount();
  h.signal(SIGHUP);
  ASSERT_GE(h.waitLine("Monitor::reload()", beforeHup), 0);
  for (size_t i = 0; i < pids.size(); ++i) {
    ASSERT_TRUE(h.waitLines(h.hupLog(comps[i]), 1)) << comps[i];
    EXPECT_EQ(h.hups(comps[i])[0], "HUP " + std::to_string(pids[i])) << comps[i];
  }

  const size_t beforeStop = h.lineCount();
  h.signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(h.waitExit(status));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // Dependents stop before what they depend on.
  const int webStop = h.findLine(appLine("WEB", "has been stopped"), beforeStop);
  const int filterStop = h.findLine(appLine("FILTER", "has been stopped"), beforeStop);
  const int maildStop = h.findLine(appLine("MAILD", "has been stopped"), beforeStop);
  const int agentStop = h.findLine(appLine("AGENT", "has been stopped"), beforeStop);
  ASSERT_GE(webStop, 0);
  ASSERT_GE(filterStop, 0);
  EXPECT_LT(webStop, maildStop);
  EXPECT_LT(filterStop, maildStop);
  EXPECT_LT(maildStop, agentStop);
  EXPECT_LT(h.findLine("kill -TERM pid=" + std::to_string(pids[2]), beforeStop),
            h.findLine("kill -TERM pid=" + std::to_string(pids[1]), beforeStop))
      << "components stop in reverse order";
  EXPECT_GE(h.findLine("Norvak (R) Components Monitor shutdown", beforeStop), 0);

  // Nothing left: no pid file, no component (an unreaped one would be a
  // zombie of this process, which is their subreaper).
  EXPECT_NE(access(h.pidFile().c_str(), F_OK), 0);
  for (pid_t p : pids) EXPECT_FALSE(norvak_test::processExists(p)) << p;
  EXPECT_TRUE(norvak_test::processesMentioning(h.root() + "/").empty());
  EXPECT_TRUE(h.mails().empty()) << "a clean stop is no failure";
}

TEST(MonitorRunTest, TheLastApplicationToEndEndsTheMonitorWithAnHonestStatus) {
  // A service manager restarts a monitor that exits non-zero: only a suite
  // whose programs all ended cleanly is a clean end.
  struct Case {
    const char* args;
    bool killWithoutProgram;  // killed once its program is gone: given up
    int status;
  } cases[] = {
      {"--exit-after=300 --exit-code=0", false, 0},
      {"--exit-after=300 --exit-code=3", false, 8},
      {"", true, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    MonitorHarness h;
    h.writeMeta("solo.mmc", h.app("SOLO", "", {{"worker", c.args}}));
    ConfValues conf("SOLO");
    conf.recoveryTimeList = "0";
    h.writeConf(conf);
    h.start();
    if (c.killWithoutProgram) {
      // Killed once it has answered: before, its death is a failed start.
      ASSERT_GE(h.waitLine("component \"worker\" from application \"SOLO\" has been started"), 0);
      const pid_t worker = h.waitComponent("worker");
      ASSERT_GT(worker, 0);
      ASSERT_EQ(unlink((h.binDir() + "worker").c_str()), 0);
      kill(worker, SIGKILL);
    }

    int status = 0;
    ASSERT_TRUE(h.waitExit(status)) << "the monitor should end by itself";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status);
    const int fault = h.findLine("component \"worker\" fault, pid=");
    const int stopped = h.findLine(appLine("SOLO", "has been stopped"));
    const int end = h.findLine("all applications have stoped, terminate norvak-monitor application");
    ASSERT_GE(fault, 0);
    EXPECT_LT(fault, stopped);
    EXPECT_LT(stopped, end);
    EXPECT_GE(h.findLine("Norvak (R) Components Monitor shutdown", end), 0);
    EXPECT_EQ(h.starts("worker").size(), 1u) << "a program that ended is not restarted";
    if (c.status == 0) {
      EXPECT_TRUE(h.mails().empty()) << "a normal exit is not reported";
    }
    EXPECT_NE(access(h.pidFile().c_str(), F_OK), 0);
  }
}

TEST(MonitorRunTest, SigusrOneReopensTheLogAndSignalsNoComponent) {
  MonitorHarness h;
  h.writeMeta("solo.mmc", h.app("SOLO", "", {{"worker"}}));
  h.writeConf(ConfValues("SOLO"));
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const std::string rotated = h.logFile() + ".1";
  ASSERT_EQ(rename(h.logFile().c_str(), rotated.c_str()), 0);
  h.signal(SIGUSR1);
  bool reopened = false;
  for (int i = 0; i < 100 && !reopened; ++i) {
    norvak_test::sleepMs(50);
    reopened = norvak_test::readFile(h.logFile()).find("log file reopened on SIGUSR1") !=
               std::string::npos;
  }
  EXPECT_TRUE(reopened);
  EXPECT_EQ(norvak_test::readFile(rotated).find("reopened"), std::string::npos);
  EXPECT_TRUE(norvak_test::processExists(h.pid()));
  EXPECT_TRUE(h.hups("worker").empty());
}

TEST(MonitorRunTest, StartUpFailures) {
  {
    // A run list naming an application nobody describes: the check reports
    // it and ends with status 8.
    MonitorHarness h;
    writeSuite(h);
    std::string out, err;
    EXPECT_EQ(h.runToEnd({"--check-only", "--run", "WEB,NOSUCH"}, out, err), 8) << err;
    EXPECT_NE(err.find("Options ERROR\n"), std::string::npos) << err;
    EXPECT_EQ(out.find("Options OK"), std::string::npos) << out;
    EXPECT_GE(h.findLine("dependences verification error: "), 0);
    EXPECT_GE(h.findLine("NOSUCH"), 0);
    EXPECT_TRUE(h.starts("agent").empty()) << "a check starts nothing";
    EXPECT_NE(access(h.pidFile().c_str(), F_OK), 0) << "a check writes no pid file";
  }
  {
    // No configuration file written.
    MonitorHarness h;
    std::string out, err;
    EXPECT_EQ(h.runToEnd({}, out, err), 8);
    EXPECT_EQ(err, "program create error: config file \"" + h.confFile() + "\" not found.\n");
    EXPECT_EQ(out, "");
  }
}

}  // namespace
