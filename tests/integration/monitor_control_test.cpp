// The administrators' status and start/stop/restart requests, driven by
// norvak-monitor-ctl against the real monitor.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/monitor_harness.h"
#include "support/program_run.h"

namespace {

using norvak_test::ConfValues;
using norvak_test::MonitorHarness;
using norvak_test::ProgramRun;

// AGENT <- MAILD <- WEB, with a restart delay long enough that a killed
// component is seen waiting for its try. webd reads more arguments from
// webArgs() at each start.
class MonitorControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h_.writeMeta("agent.mmc", h_.app("AGENT", "", {{"agent"}}));
    h_.writeMeta("maild.mmc", h_.app("MAILD", "AGENT", {{"maild"}, {"smtpd"}}));
    h_.writeMeta("web.mmc", h_.app("WEB", "MAILD", {{"webd", "--args-file=" + webArgs(), 2}}));
    ConfValues conf("AGENT, MAILD, WEB");
    conf.recoveryTimeList = "120";
    h_.writeConf(conf);
    h_.setConfValue("Address", "local:" + h_.runDir() + "mgmt.sock");
  }

  void startMonitor() {
    ASSERT_TRUE(h_.startUp()) << h_.stderrText();
    for (const char* comp : {"agent", "maild", "smtpd", "webd"}) ASSERT_GT(h_.waitComponent(comp), 0);
  }

  ProgramRun ctl(std::vector<std::string> args) {
    return norvak_test::runCtl(h_.confFile(), std::move(args));
  }

  static constexpr size_t kColumns = 7;

  // The status table's line of the component, split at runs of two blanks.
  std::vector<std::string> row(const std::string& table, const std::string& comp) {
    size_t begin = 0;
    while (begin < table.size()) {
      size_t end = table.find('\n', begin);
      if (end == std::string::npos) end = table.size();
      const std::string line = table.substr(begin, end - begin);
      std::vector<std::string> cells;
      size_t at = 0;
      while (at < line.size()) {
        size_t gap = line.find("  ", at);
        if (gap == std::string::npos) gap = line.size();
        cells.push_back(line.substr(at, gap - at));
        at = line.find_first_not_of(' ', gap);
        if (at == std::string::npos) break;
      }
      if (cells.size() == kColumns && cells[1] == comp) return cells;
      begin = end + 1;
    }
    return {};
  }

  // Asks for the status until the component's state starts with `state`.
  std::vector<std::string> waitState(const std::string& comp, const std::string& state) {
    std::vector<std::string> cells;
    for (int i = 0; i < 100; ++i) {
      const ProgramRun run = ctl({"status"});
      cells = row(run.out, comp);
      if (!cells.empty() && cells[2].compare(0, state.size(), state) == 0) return cells;
      usleep(100 * 1000);
    }
    ADD_FAILURE() << comp << " never " << state << "; last: "
                  << (cells.empty() ? std::string("no line") : cells[2]);
    return cells;
  }

  std::string webArgs() const { return h_.root() + "/webd.more"; }

  pid_t onlyPid(const std::string& comp) {
    const std::vector<pid_t> pids = h_.componentPids(comp);
    return pids.size() == 1 ? pids.front() : -1;
  }

  MonitorHarness h_;
};

TEST_F(MonitorControlTest, StatusShowsRunningAndWaitingComponentsWithTheirPids) {
  ASSERT_NO_FATAL_FAILURE(startMonitor());
  const pid_t smtpd = onlyPid("smtpd");
  ASSERT_GT(smtpd, 0);
  ASSERT_EQ(kill(smtpd, SIGKILL), 0);
  std::vector<std::string> cells = waitState("smtpd", "waiting for restart at ");
  ASSERT_EQ(cells.size(), kColumns);
  EXPECT_EQ(cells[0], "MAILD");
  EXPECT_EQ(cells[3], "-");
  EXPECT_EQ(cells[5], "0");
  EXPECT_EQ(cells[6], "signal 9 (Killed)");

  const ProgramRun table = ctl({"status"});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out.substr(0, table.out.find('\n')).find("APPLICATION"), 0u);
  for (const char* comp : {"agent", "maild", "webd"}) {
    cells = row(table.out, comp);
    ASSERT_EQ(cells.size(), kColumns) << comp << "\n" << table.out;
    EXPECT_EQ(cells[2], "running") << comp;
    EXPECT_EQ(cells[3], std::to_string(onlyPid(comp))) << comp;
    EXPECT_NE(cells[4], "-") << comp;
    EXPECT_EQ(cells[6], "-") << comp;
  }

  const ProgramRun json = ctl({"--json", "status", "MAILD"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find("\"name\":\"MAILD\""), std::string::npos) << json.out;
  EXPECT_EQ(json.out.find("\"name\":\"AGENT\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"dependencies\":[\"AGENT\"]"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"state\":\"waiting\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"last_fault_cause\":\"signal 9"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"pid\":" + std::to_string(onlyPid("maild"))), std::string::npos);
  EXPECT_NE(json.out.find("\"exit_status\":null"), std::string::npos) << json.out;

  const ProgramRun unknown = ctl({"status", "NOPE"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("unknown application \"NOPE\""), std::string::npos) << unknown.err;
}

TEST_F(MonitorControlTest, StoppedApplicationGoesAfterItsDependentAndStaysDownAcrossReload) {
  ASSERT_NO_FATAL_FAILURE(startMonitor());
  const pid_t maild = onlyPid("maild");
  const pid_t webd = onlyPid("webd");
  const ProgramRun stop = ctl({"stop", "MAILD"});
  ASSERT_EQ(stop.status, 0) << stop.err;
  EXPECT_FALSE(norvak_test::processExists(maild));
  EXPECT_FALSE(norvak_test::processExists(webd));
  const int webLine = h_.waitLine("application \"WEB\" stoped", 0, 5);
  const int maildLine = h_.waitLine("application \"MAILD\" stoped", 0, 5);
  ASSERT_GE(webLine, 0);
  ASSERT_GE(maildLine, 0);
  EXPECT_LT(webLine, maildLine);

  const ProgramRun before = ctl({"status"});
  EXPECT_EQ(row(before.out, "maild").at(2), "stopped by administrator") << before.out;
  EXPECT_EQ(row(before.out, "agent").at(2), "running") << before.out;

  h_.signal(SIGHUP);
  ASSERT_GE(h_.waitLine("Monitor::reload()", 0, 30), 0);
  // Served by the main loop after the reload it has begun.
  const ProgramRun after = ctl({"status"});
  ASSERT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(row(after.out, "maild").at(2), "stopped by administrator") << after.out;
  EXPECT_EQ(row(after.out, "smtpd").at(2), "stopped by administrator") << after.out;
  EXPECT_EQ(row(after.out, "webd").at(2), "stopped") << after.out;
  EXPECT_TRUE(h_.componentPids("maild").empty());
  EXPECT_TRUE(h_.componentPids("webd").empty());

  // The start brings back what the stop took down, and answers once it runs.
  const ProgramRun start = ctl({"start", "MAILD"});
  ASSERT_EQ(start.status, 0) << start.err;
  const ProgramRun up = ctl({"status"});
  for (const char* comp : {"maild", "smtpd", "webd"})
    EXPECT_EQ(row(up.out, comp).at(2), "running") << up.out;
}

// Stopping every application leaves the monitor running; a start then
// brings the dependencies up first and answers once the start is over.
TEST_F(MonitorControlTest, StoppingEverythingKeepsTheMonitorAndAStartBringsDependenciesFirst) {
  ASSERT_NO_FATAL_FAILURE(startMonitor());
  ASSERT_EQ(ctl({"stop", "AGENT"}).status, 0);
  ASSERT_GE(h_.findLine("application \"AGENT\" has been stopped"), 0);
  // Longer than a turn of the loop, which is where the end would be noticed.
  norvak_test::sleepMs(1500);
  EXPECT_LT(h_.findLine("all applications have stoped"), 0);
  const ProgramRun down = ctl({"status"});
  EXPECT_EQ(down.status, 0) << down.err;
  EXPECT_EQ(row(down.out, "agent").at(2).compare(0, 7, "stopped"), 0) << down.out;

  const ProgramRun start = ctl({"start", "WEB"});
  ASSERT_EQ(start.status, 0) << start.err;
  const ProgramRun status = ctl({"status"});
  for (const char* comp : {"agent", "maild", "smtpd", "webd"}) {
    EXPECT_EQ(row(status.out, comp).at(2), "running") << status.out;
    EXPECT_EQ(row(status.out, comp).at(3), std::to_string(onlyPid(comp)));
  }
  const std::string log = norvak_test::readFile(h_.logFile());
  const size_t stopped = log.find("application \"AGENT\" has been stopped");
  ASSERT_NE(stopped, std::string::npos);
  size_t previous = stopped;
  // The agent's own start is not logged so: its running row says it.
  for (const char* app : {"MAILD", "WEB"}) {
    const size_t up = log.find("application \"" + std::string(app) + "\" started\n", stopped);
    ASSERT_NE(up, std::string::npos) << app;
    EXPECT_LT(previous, up) << app;
    previous = up;
  }

  const ProgramRun unknown = ctl({"start", "NOPE"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("unknown application"), std::string::npos) << unknown.err;
}

// A restart is answered once its dependents are back; the next request on
// any of them is taken only then, and a failed start says why.
TEST_F(MonitorControlTest, RestartsOneAfterAnotherLeaveEverythingRunning) {
  ASSERT_NO_FATAL_FAILURE(startMonitor());
  const pid_t maild = onlyPid("maild");
  const pid_t agent = onlyPid("agent");
  const pid_t webd = onlyPid("webd");
  const ProgramRun restart = ctl({"restart", "MAILD"});
  ASSERT_EQ(restart.status, 0) << restart.err;
  EXPECT_FALSE(norvak_test::processExists(maild));
  EXPECT_FALSE(norvak_test::processExists(webd));
  const ProgramRun dependent = ctl({"restart", "WEB"});
  ASSERT_EQ(dependent.status, 0) << dependent.err;
  const ProgramRun status = ctl({"status"});
  for (const char* comp : {"agent", "maild", "smtpd", "webd"}) {
    EXPECT_EQ(row(status.out, comp).at(2), "running") << status.out;
    EXPECT_EQ(row(status.out, comp).at(3), std::to_string(onlyPid(comp))) << comp;
  }
  EXPECT_EQ(onlyPid("agent"), agent);
  EXPECT_NE(onlyPid("maild"), maild);

  norvak_test::writeFile(webArgs(), "--answer=none");
  const ProgramRun failed = ctl({"restart", "WEB"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("restart failed: start of \"WEB\" failed: component \"webd\" gave "
                            "no answer within 2 s"),
            std::string::npos)
      << failed.err;
  EXPECT_TRUE(h_.componentPids("webd").empty());
  // The status tells it from a stop, with the same reason.
  const std::vector<std::string> webdRow = row(ctl({"status", "WEB"}).out, "webd");
  EXPECT_EQ(webdRow.at(2), "failed");
  EXPECT_EQ(webdRow.back(), "component \"webd\" gave no answer within 2 s");
}

// CRASH's component crashes right after every answer and uses up the list
// "0" at once; ABC's abce exits by itself.
TEST_F(MonitorControlTest, StatusFollowsTheStartOrderAndTellsAnExitAStopAndAGiveUp) {
  // ZED loads and sorts last, yet starts first: ABC needs it.
  h_.writeMeta("abc.mmc", h_.app("ABC", "ZED",
                                 {{"abcd"}, {"abce", "--exit-after=300 --exit-code=3"}}));
  h_.writeMeta("zed.mmc", h_.app("ZED", "", {{"zedd"}}));
  h_.writeMeta("crash.mmc", h_.app("CRASH", "AGENT",
                                   {{"crasher", "--die-after=50 --signal=" + std::to_string(SIGUSR1)}}));
  h_.setConfValue("RunAppList", "AGENT, MAILD, WEB, ABC, CRASH");
  h_.setConfValue("RecoveryTimeList", "0");
  ASSERT_NO_FATAL_FAILURE(startMonitor());
  std::vector<std::string> crashed = waitState("crasher", "given up");
  ASSERT_EQ(crashed.size(), kColumns);
  EXPECT_EQ(crashed[2], "given up");
  EXPECT_EQ(crashed[3], "-");
  EXPECT_EQ(crashed[5], "1");
  const std::string cause = "signal " + std::to_string(SIGUSR1);
  EXPECT_EQ(crashed[6].rfind(cause, 0), 0u) << "the table's CAUSE: " << crashed[6];
  ProgramRun json = ctl({"--json", "status", "CRASH"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find("\"state\":\"given up\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"last_fault_cause\":\"" + cause), std::string::npos) << json.out;

  std::vector<std::string> cells = waitState("abce", "exited");
  ASSERT_EQ(cells.size(), kColumns);
  EXPECT_EQ(cells[2], "exited (3)");
  EXPECT_EQ(cells[3], "-");
  EXPECT_EQ(cells[6], "exit 3");
  // Its sibling goes down with the application, by the monitor's hand.
  cells = waitState("abcd", "stopped");
  ASSERT_EQ(cells.size(), kColumns);
  EXPECT_EQ(cells[2], "stopped");
  EXPECT_EQ(cells[6], "-");

  const ProgramRun table = ctl({"status"});
  ASSERT_EQ(table.status, 0) << table.err;
  const std::string header = table.out.substr(0, table.out.find('\n'));
  EXPECT_EQ(header.substr(header.rfind("  ") + 2), "CAUSE") << header;
  EXPECT_EQ(row(table.out, "abce").at(2), "exited (3)") << table.out;
  std::vector<size_t> lines;
  for (const char* comp : {"zedd", "abcd", "abce", "agent", "maild", "smtpd", "webd"}) {
    lines.push_back(table.out.find("  " + std::string(comp) + "  "));
    ASSERT_NE(lines.back(), std::string::npos) << comp << "\n" << table.out;
  }
  EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end())) << table.out;

  json = ctl({"--json", "status", "ABC"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find("\"state\":\"exited\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"exit_status\":3"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"last_fault_cause\":\"exit 3\""), std::string::npos) << json.out;
}

// The shipped sample's kind of suite: no AGENT application, AgentAddress
// empty. Nothing may try to reach an agent, at start, reload or recovery,
// nor in a check of everything.
TEST_F(MonitorControlTest, SuiteWithoutAnAgentLogsNoErrorAndPassesTheFullCheck) {
  h_.removeMeta("agent.mmc");
  h_.writeMeta("maild.mmc", h_.app("MAILD", "", {{"maild"}, {"smtpd"}}));
  ConfValues conf("MAILD, WEB");
  conf.withAgent = false;
  h_.writeConf(conf);
  h_.setConfValue("Address", "local:" + h_.runDir() + "mgmt.sock");
  ASSERT_TRUE(h_.startUp()) << h_.stderrText();
  for (const char* comp : {"maild", "smtpd", "webd"}) ASSERT_GT(h_.waitComponent(comp), 0);
  h_.signal(SIGHUP);
  ASSERT_GE(h_.waitLine("Monitor::reload()", 0, 30), 0);
  const pid_t smtpd = onlyPid("smtpd");
  ASSERT_GT(smtpd, 0);
  ASSERT_EQ(kill(smtpd, SIGKILL), 0);
  ASSERT_GT(h_.waitComponent("smtpd", smtpd), 0);
  EXPECT_EQ(waitState("smtpd", "running").at(5), "1");
  h_.shutdown();

  std::string out, err;
  EXPECT_EQ(h_.runToEnd({"--check-all"}, out, err), 0) << out << err;
  EXPECT_NE(out.find("Options OK"), std::string::npos) << out << err;
  // The one error is the kill's own.
  EXPECT_EQ(h_.countLines(" ERROR "),
            h_.countLines(" ERROR component \"smtpd\" terminated by signal 9"))
      << norvak_test::readFile(h_.logFile());
  for (const char* text : {"conect to agent", "CreateClientConnection"})
    EXPECT_EQ(h_.countLines(text), 0) << text << "\n" << norvak_test::readFile(h_.logFile());
  EXPECT_EQ((out + err).find(" ERROR "), std::string::npos) << out << err;
}

}  // namespace
