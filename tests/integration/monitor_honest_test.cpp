// What the monitor says about its own start: a detached daemon's parent
// leaves with the daemon's verdict, a check names whatever would stop a
// start, a component whose identity is unknown is not run as root, and the
// monitor's own stop is no error.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "support/monitor_harness.h"
#include "wait_util.h"

namespace {

using norvak_test::CompDef;
using norvak_test::ConfValues;
using norvak_test::MonitorHarness;
using norvak_test::readFile;
using norvak_test::writeFile;

const char kNoUser[] = "norvak-nosuch-user-q7";
const char kNoGroup[] = "norvak-nosuch-group-q7";

// AGENT with one component, `owner` its "user:group" field ("-" for none).
void writeAgentSuite(MonitorHarness& h, const std::string& owner = "-") {
  std::string meta = h.app("AGENT", "", {{"agent"}});
  const size_t at = meta.find(" MAIL -\n");
  meta.replace(at, 8, " MAIL " + owner + "\n");
  h.writeMeta("agent.mmc", meta);
  h.writeConf(ConfValues());
}

void makeDaemon(MonitorHarness& h) { h.setConfValue("RunForeground", "no"); }

// The daemon outlives the parent and becomes the harness's child (it is the
// subreaper); it is stopped and reaped here so that nothing stays behind.
void stopDaemon(MonitorHarness& h) {
  const std::string text = readFile(h.pidFile());
  const pid_t pid = text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
  ASSERT_GT(pid, 0) << "no pid file";
  kill(pid, SIGTERM);
  EXPECT_TRUE(waitUntil([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }))
      << "daemon " << pid << " did not stop";
}

TEST(MonitorHonestTest, DaemonParentLeavesWithTheStartVerdict) {
  std::string foregroundErr;
  {
    // The line the foreground start gives for a missing binary.
    MonitorHarness h;
    writeAgentSuite(h);
    ASSERT_EQ(unlink((h.binDir() + "agent").c_str()), 0);
    std::string out;
    EXPECT_EQ(h.runToEnd({}, out, foregroundErr), 8) << foregroundErr;
    EXPECT_NE(foregroundErr.find("program create error: "), std::string::npos) << foregroundErr;
  }
  {
    MonitorHarness h;
    writeAgentSuite(h);
    makeDaemon(h);
    ASSERT_EQ(unlink((h.binDir() + "agent").c_str()), 0);
    std::string out, err;
    EXPECT_EQ(h.runToEnd({}, out, err, 60), 8) << err;
    EXPECT_EQ(err, foregroundErr);
  }
  {
    // The parent answers once the component did; a second monitor on the
    // same pid file is refused, and says so.
    MonitorHarness h;
    writeAgentSuite(h);
    makeDaemon(h);
    std::string out, err;
    ASSERT_EQ(h.runToEnd({}, out, err, 60), 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_EQ(h.starts("agent").size(), 1u) << "the parent left before the component answered";
    std::string out2, err2;
    EXPECT_EQ(h.runToEnd({}, out2, err2, 60), 8) << err2;
    EXPECT_NE(err2.find("program create error: "), std::string::npos) << err2;
    stopDaemon(h);
  }
}

TEST(MonitorHonestTest, ComponentOfUnknownUserIsNotStarted) {
  for (const std::string& owner :
       {std::string("\"") + kNoUser + "\"", std::string("\"root:") + kNoGroup + "\""}) {
    MonitorHarness h;
    writeAgentSuite(h, owner);
    std::string out, err;
    EXPECT_EQ(h.runToEnd({}, out, err), 8) << owner << ": " << err;
    EXPECT_TRUE(h.starts("agent").empty()) << owner << ": started anyway";
    EXPECT_GE(h.findLine("cannot start component \"agent\""), 0) << owner;
    EXPECT_GE(h.findLine(owner.find(':') == std::string::npos ? "unknown user \"" : "unknown group \""), 0)
        << owner;
  }
}

// Whatever would stop a component's start fails the check beforehand, named;
// a misspelt key is named too but leaves the file valid.
TEST(MonitorHonestTest, CheckOnlyNamesWhatWouldStopAStart) {
  struct Case {
    const char* name;
    std::string owner;
    std::function<void(MonitorHarness&)> change;
    int status;
    std::string line;
  };
  const std::string comp = "application \"AGENT\", component \"agent\": ";
  const Case cases[] = {
      {"good", "-", [](MonitorHarness&) {}, 0, ""},
      {"missing", "-", [](MonitorHarness& h) { unlink((h.binDir() + "agent").c_str()); }, 8,
       comp + "executable \"$BIN/agent\" not found"},
      {"not executable", "-",
       [](MonitorHarness& h) {
         unlink((h.binDir() + "agent").c_str());
         writeFile(h.binDir() + "agent", "#!/bin/sh\n");
         chmod((h.binDir() + "agent").c_str(), 0644);
       },
       8, comp + "executable \"$BIN/agent\" not executable"},
      {"directory", "-",
       [](MonitorHarness& h) {
         unlink((h.binDir() + "agent").c_str());
         mkdir((h.binDir() + "agent").c_str(), 0755);
       },
       8, comp + "executable \"$BIN/agent\" not a regular file"},
      {"unknown user", std::string("\"") + kNoUser + "\"", [](MonitorHarness&) {}, 8,
       comp + "unknown user \"" + kNoUser + "\""},
      {"unknown group", std::string("\"root:") + kNoGroup + "\"", [](MonitorHarness&) {}, 8,
       comp + "unknown group \"" + kNoGroup + "\""},
      {"missing check program", "-",
       [](MonitorHarness& h) {
         std::string meta = readFile(h.metaDir() + "agent.mmc");
         meta.insert(meta.rfind("ENDAPPLICATION"), "HEALTH agent EXEC \"$BIN/check -q\"\n");
         const size_t bin = meta.find("$BIN/");
         writeFile(h.metaDir() + "agent.mmc", meta.replace(bin, 5, h.binDir()));
       },
       8, comp + "health check program \"$BIN/check\" not found"},
      {"delay typo", "-",
       [](MonitorHarness& h) { h.setConfValue("RecoveryTimeList", "1, 5m"); },
       8, "wrong parameter \"/Monitor/RecoveryTimeList\": value \"5m\" isn't number. Used value 5"},
      {"key typo", "-",
       // The file ends in the [Monitor] section.
       [](MonitorHarness& h) { writeFile(h.confFile(), readFile(h.confFile()) + "RunAppLsit = X\n"); }, 0,
       "unknown parameter \"/Monitor/RunAppLsit\" ignored"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MonitorHarness h;
    writeAgentSuite(h, c.owner);
    c.change(h);
    std::string out, err;
    EXPECT_EQ(h.runToEnd({"--check-only"}, out, err), c.status) << out << err;
    EXPECT_NE((c.status == 0 ? out : err).find(c.status == 0 ? "Options OK" : "Options ERROR"), std::string::npos)
        << out << err;
    std::string line = c.line;
    const size_t bin = line.find("$BIN/");
    if (bin != std::string::npos) line.replace(bin, 5, h.binDir());
    if (!line.empty()) {
      EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    }
    EXPECT_TRUE(h.starts("agent").empty()) << "a check started the component";
  }
}

TEST(MonitorHonestTest, StopByTheMonitorIsNoError) {
  MonitorHarness h;
  h.setEnv("FAKE_TERM", "die");
  writeAgentSuite(h);
  h.start();
  ASSERT_GT(h.waitComponent("agent"), 0);
  ASSERT_GE(h.waitLine(" started"), 0);
  h.signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(h.waitExit(status));
  const int line = h.findLine("component \"agent\" terminated by signal 15");
  ASSERT_GE(line, 0);
  EXPECT_NE(h.lineAt(static_cast<size_t>(line)).find("INFO"), std::string::npos)
      << h.lineAt(static_cast<size_t>(line));
  EXPECT_LT(h.findLine("ERROR component \"agent\" terminated"), 0);
  if (getuid() == 0) {
    // Nobody asked for another user: the search for one is no fault.
    const int search = h.findLine("cannot find component with not root UID");
    ASSERT_GE(search, 0);
    EXPECT_NE(h.lineAt(static_cast<size_t>(search)).find("INFO"), std::string::npos)
        << h.lineAt(static_cast<size_t>(search));
  }
}

}  // namespace
