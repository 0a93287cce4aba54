// Health checks and the watchdog against the real monitor: a component that
// stops working while its process lives on is stopped, reported with the
// check that found it out, and restarted on the recovery schedule.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "loopback_port.h"
#include "support/monitor_harness.h"
#include "support/program_run.h"

namespace {

using norvak_test::ConfValues;
using norvak_test::MonitorHarness;
using norvak_test::writeFile;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string mailAbout(const MonitorHarness& h, const std::string& comp) {
  for (const std::string& mail : h.mails())
    if (contains(mail, "Component \"" + comp + "\" failed\n")) return mail;
  return "";
}

void writeSuite(MonitorHarness& h, const std::vector<norvak_test::CompDef>& comps,
                const std::string& health) {
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
  std::string web = h.app("WEB", "AGENT", comps);
  web.insert(web.rfind("ENDAPPLICATION"), health);
  h.writeMeta("web.mmc", web);
  h.writeConf(ConfValues("AGENT, WEB"));
  h.setConfValue("Address", "local:" + h.runDir() + "mgmt.sock");
}

// A stopped server's kernel still queues connections until its (smallest)
// backlog is full; then the connects time out and the checks fail.
TEST(MonitorHealthTest, StoppedServerIsRestartedAfterItsTcpChecksFail) {
  MonitorHarness h;
  const std::string port = std::to_string(freePort());
  writeSuite(h, {{"httpd", "--listen=" + port}},
             "HEALTH httpd TCP 127.0.0.1:" + port + " INTERVAL 1 TIMEOUT 1 RETRIES 3\n");
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t first = h.waitComponent("httpd");
  ASSERT_GT(first, 0);
  norvak_test::sleepMs(2500);  // two good checks
  const std::string status = norvak_test::runCtl(h.confFile(), {"--json", "status", "WEB"}).out;
  EXPECT_TRUE(contains(status, "\"checks\":[{\"check\":\"TCP 127.0.0.1:" + port +
                                   "\",\"result\":\"ok\""))
      << status;

  ASSERT_EQ(kill(first, SIGSTOP), 0);
  const long long stopped = norvak_test::nowMs();
  const pid_t second = h.waitComponent("httpd", first, 40);
  ASSERT_GT(second, 0) << "not restarted";
  const long long took = norvak_test::nowMs() - stopped;
  // Up to one check into the backlog, RETRIES failing ones, the restart delay.
  EXPECT_GE(took, 3000);
  EXPECT_LE(took, 15000);
  EXPECT_FALSE(norvak_test::processExists(first)) << "the stopped process was left behind";
  ASSERT_TRUE(h.waitMails(2));
  const std::string mail = mailAbout(h, "httpd");
  EXPECT_TRUE(contains(mail, "Cause: health check TCP 127.0.0.1:" + port +
                                 " failed 3 time(s) in a row: no connection within 1 s"))
      << mail;
  EXPECT_TRUE(contains(h.mails().back(), "recovery")) << h.mails().back();
}

// A check program that hangs is killed with its group at the time-out and
// counted as a failure; the checks stop with the component.
TEST(MonitorHealthTest, HangingCheckProgramIsKilledAndCountsAsFailure) {
  MonitorHarness h;
  const std::string check = h.root() + "/check-web";
  const std::string hang = h.root() + "/hang";
  const std::string marker = h.root() + "/trace/hanging-check";
  writeFile(check, "#!/bin/sh\n[ -e " + hang + " ] || exit 0\nexec " NORVAK_BIN_DIR
                   "/tools/fake-component --answer=none --exit-after=60000 --args-log=" +
                       marker + "\n");
  chmod(check.c_str(), 0755);
  writeSuite(h, {{"web"}},
             "HEALTH web EXEC \"" + check + " --quick\" INTERVAL 1 TIMEOUT 1 RETRIES 2\n");
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t first = h.waitComponent("web");
  ASSERT_GT(first, 0);
  norvak_test::sleepMs(2500);
  EXPECT_EQ(h.waitComponent("web"), first) << "a passing check restarted it";

  writeFile(hang, "");
  const pid_t second = h.waitComponent("web", first, 30);
  ASSERT_GT(second, 0) << "not restarted";
  unlink(hang.c_str());
  ASSERT_TRUE(h.waitMails(1));
  EXPECT_TRUE(contains(mailAbout(h, "web"), "failed 2 time(s) in a row: killed at the time-out "
                                            "of 1 s"))
      << mailAbout(h, "web");
  EXPECT_GE(h.findLine("health check EXEC \"" + check + " --quick\" failed (1/2)"), 0);
  // Killed and reaped: neither the hanging program nor a zombie stays.
  for (int i = 0; i < 50 && !norvak_test::processesMentioning(marker).empty(); ++i)
    norvak_test::sleepMs(100);
  EXPECT_TRUE(norvak_test::processesMentioning(marker).empty());
  EXPECT_EQ(h.waitComponent("web"), second);
}

// The fed watchdog keeps its component; the starved one is restarted though
// another process sends WATCHDOG=1 on its socket.
TEST(MonitorHealthTest, WatchdogRestartsOnlyTheComponentThatStopsFeedingIt) {
  MonitorHarness h;
  writeSuite(h,
             {{"fed", "--notify-watchdog=200"},
              {"starved", "--notify-watchdog=200 --notify-stop-after=600 --notify-foreign=100"}},
             "WATCHDOG fed 2\nWATCHDOG starved 2\n");
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t fed = h.waitComponent("fed");
  const pid_t starved = h.waitComponent("starved");
  ASSERT_GT(fed, 0);
  ASSERT_GT(starved, 0);
  norvak_test::sleepMs(1000);  // answered, heard
  const std::string status = norvak_test::runCtl(h.confFile(), {"status", "WEB"}).out;
  EXPECT_TRUE(contains(status, "watchdog ok")) << status;
  EXPECT_TRUE(contains(status, "\"serving\"")) << status;

  ASSERT_GT(h.waitComponent("starved", starved, 30), 0) << "not restarted";
  ASSERT_TRUE(h.waitMails(1));
  EXPECT_TRUE(contains(mailAbout(h, "starved"), "Cause: watchdog: no WATCHDOG=1 within 2 s"))
      << mailAbout(h, "starved");
  EXPECT_GE(h.findLine("notification socket of component \"starved\": "), 0);
  EXPECT_EQ(h.waitComponent("fed"), fed);
  EXPECT_EQ(h.starts("fed").size(), 1u);
  EXPECT_TRUE(mailAbout(h, "fed").empty());
}

}  // namespace
