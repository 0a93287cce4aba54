// SIGHUP: the monitor takes over an edited meta-configuration and passes the
// signal on to every component.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "support/monitor_harness.h"

namespace {

using norvak_test::ConfValues;
using norvak_test::MonitorHarness;

TEST(MonitorReloadTest, SighupTakesOverTheEditedMetaConfiguration) {
  MonitorHarness h;
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
  h.writeMeta("maild.mmc", h.app("MAILD", "AGENT", {{"maild"}, {"smtpd", "--answer-delay=50"}}));
  h.writeMeta("web.mmc", h.app("WEB", "MAILD", {{"httpd"}}));
  h.writeMeta("old.mmc", h.app("OLD", "", {{"legacy"}}));
  ConfValues conf("AGENT, MAILD, WEB, OLD");
  h.writeConf(conf);
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t agent = h.waitComponent("agent");
  const pid_t maild = h.waitComponent("maild");
  const pid_t smtpd = h.waitComponent("smtpd");
  const pid_t httpd = h.waitComponent("httpd");
  const pid_t legacy = h.waitComponent("legacy");
  ASSERT_GT(legacy, 0);

  // New component, changed argument string, moved application, removed one.
  h.writeMeta("maild.mmc",
              h.app("MAILD", "AGENT", {{"maild"}, {"smtpd", "--answer-delay=60"}, {"pop3d"}}));
  h.writeMeta("web.mmc", h.app("WEB", "MAILD", {{"httpd"}}, "bin2"));
  h.removeMeta("old.mmc");
  conf.runAppList = "AGENT, MAILD, WEB";
  h.writeConf(conf);

  const size_t before = h.lineCount();
  h.signal(SIGHUP);
  ASSERT_GE(h.waitLine("Monitor::reload(): arrived SIGHUP", before), 0);
  EXPECT_GE(h.waitLine("oldApps: OLD", before), 0);

  EXPECT_GE(h.waitLine("application \"OLD\" has been stopped", before), 0);
  EXPECT_FALSE(norvak_test::processExists(legacy));

  EXPECT_GE(h.waitLine("new component \"pop3d\"", before), 0);
  EXPECT_GT(h.waitComponent("pop3d"), 0);

  EXPECT_GE(h.findLine("component \"smtpd\" changed argv", before), 0);
  EXPECT_GE(h.findLine("component \"smtpd\" from \"MAILD\" has been reconfigured", before), 0);

  EXPECT_GE(h.waitLine("application \"WEB\" change path", before), 0);
  EXPECT_GE(h.findLine("All components should be restarted", before), 0);
  const pid_t movedHttpd = h.waitComponent(h.root() + "/bin2/httpd");
  EXPECT_GT(movedHttpd, 0);
  EXPECT_FALSE(norvak_test::processExists(httpd));
  EXPECT_TRUE(h.waitLines(h.argsLog("httpd"), 2));

  // Untouched components keep running and hear the SIGHUP.
  EXPECT_EQ(h.waitComponent("agent"), agent);
  EXPECT_EQ(h.waitComponent("maild"), maild);
  for (const char* comp : {"agent", "maild", "smtpd"}) {
    EXPECT_TRUE(h.waitLines(h.hupLog(comp), 1)) << comp;
  }
  EXPECT_EQ(h.hups("agent"), std::vector<std::string>{"HUP " + std::to_string(agent)});
  EXPECT_EQ(h.hups("smtpd"), std::vector<std::string>{"HUP " + std::to_string(smtpd)});

  // A broken file fails the reload as a whole: nothing is taken over, the
  // running applications stay, and the components still hear the SIGHUP.
  h.writeMeta("broken.mmc", "APPLICATION BROKEN\n  NONSENSE here\nENDAPPLICATION\n");
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}, {"helper"}}));
  const size_t second = h.lineCount();
  h.signal(SIGHUP);
  EXPECT_GE(h.waitLine("reload error: ", second), 0);
  EXPECT_TRUE(h.waitLines(h.hupLog("agent"), 2));
  EXPECT_EQ(h.findLine("new component \"helper\"", second), -1);
  EXPECT_TRUE(h.componentPids("helper").empty());
  EXPECT_EQ(h.waitComponent("agent"), agent);
  EXPECT_GT(h.waitComponent("pop3d"), 0);

  h.signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(h.waitExit(status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(norvak_test::processesMentioning(h.root() + "/trace/").empty());
}

}  // namespace
