// Reloads, by SIGHUP or norvak-monitor-ctl: the monitor takes over an
// edited meta-configuration, passes the signal on to every component and
// tells what changed.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "support/monitor_harness.h"
#include "support/program_run.h"

namespace {

using norvak_test::ConfValues;
using norvak_test::MonitorHarness;
using norvak_test::ProgramRun;

TEST(MonitorReloadTest, ReloadTakesOverTheEditedMetaConfigurationAndTellsWhatChanged) {
  MonitorHarness h;
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
  h.writeMeta("maild.mmc", h.app("MAILD", "AGENT", {{"maild"}, {"smtpd", "--answer-delay=50"}}));
  h.writeMeta("web.mmc", h.app("WEB", "MAILD", {{"httpd"}}));
  h.writeMeta("old.mmc", h.app("OLD", "", {{"legacy"}}));
  ConfValues conf("AGENT, MAILD, WEB, OLD");
  h.writeConf(conf);
  const std::string address = "local:" + h.runDir() + "mgmt.sock";
  h.setConfValue("Address", address);
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
  h.setConfValue("Address", address);

  const size_t before = h.lineCount();
  const ProgramRun reload = norvak_test::runCtl(h.confFile(), {"reload"});
  EXPECT_EQ(reload.status, 0) << reload.err;
  EXPECT_GE(h.findLine("oldApps: OLD", before), 0);
  const std::string maildChange =
      "application \"MAILD\" reconfigured: component \"smtpd\" keeps running; the change takes "
      "effect at its next start (now: norvak-monitor-ctl restart MAILD); component \"pop3d\" "
      "added\n";
  EXPECT_NE(reload.out.find(maildChange), std::string::npos) << reload.out;
  EXPECT_NE(reload.out.find("application \"OLD\" removed\n"), std::string::npos) << reload.out;
  EXPECT_NE(reload.out.find("application \"WEB\" reconfigured: path \"" + h.root() +
                            "/bin2/\", its components restarted\n"),
            std::string::npos)
      << reload.out;
  EXPECT_EQ(reload.out.find("AGENT"), std::string::npos) << reload.out;
  EXPECT_GE(h.findLine("reload: " + maildChange.substr(0, maildChange.size() - 1), before), 0);

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

  // Pids that are nobody's are named; the others are reloaded all the same.
  const ProgramRun pids =
      norvak_test::runCtl(h.confFile(), {"reload", "999999", std::to_string(agent)});
  EXPECT_EQ(pids.status, 1);
  EXPECT_NE(pids.err.find("not a supervised component: 999999"), std::string::npos) << pids.err;
  EXPECT_TRUE(h.waitLines(h.hupLog("agent"), 2));

  // A broken file fails the reload as a whole: nothing is taken over, the
  // running applications stay, and the components still hear the SIGHUP.
  h.writeMeta("broken.mmc", "APPLICATION BROKEN\n  NONSENSE here\nENDAPPLICATION\n");
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}, {"helper"}}));
  const size_t second = h.lineCount();
  const ProgramRun broken = norvak_test::runCtl(h.confFile(), {"reload"});
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.err.find("reload error: error in *.mmc file \"" + h.metaDir() +
                            "broken.mmc\": config file \"" + h.metaDir() + "broken.mmc\":2:"),
            std::string::npos)
      << broken.err;
  EXPECT_GE(h.findLine("reload error: ", second), 0);
  EXPECT_TRUE(h.waitLines(h.hupLog("agent"), 3));
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

// A daemon works from "/": a configuration file named relative to where it
// was started must still be found at every reload.
TEST(MonitorReloadTest, DaemonStartedWithARelativeConfFileReloads) {
  MonitorHarness h;
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
  h.writeConf(ConfValues());
  h.setConfValue("RunForeground", "no");
  h.useRelativeConf();
  std::string out, err;
  ASSERT_EQ(h.runToEnd({}, out, err, 60), 0) << err;
  const std::string text = norvak_test::readFile(h.pidFile());
  const pid_t daemon = text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
  ASSERT_GT(daemon, 0) << "no pid file";

  h.writeMeta("new.mmc", h.app("NEW", "", {{"newd"}}));
  const size_t before = h.lineCount();
  kill(daemon, SIGHUP);
  EXPECT_GE(h.waitLine("reload: application \"NEW\" added", before), 0);
  EXPECT_EQ(h.findLine("reload error", before), -1);

  // The daemon is the harness's child (it is the subreaper).
  kill(daemon, SIGTERM);
  bool reaped = false;
  for (int i = 0; i < 300 && !reaped; ++i) {
    reaped = waitpid(daemon, nullptr, WNOHANG) == daemon;
    if (!reaped) norvak_test::sleepMs(100);
  }
  EXPECT_TRUE(reaped) << "daemon " << daemon << " did not stop";
}

}  // namespace
