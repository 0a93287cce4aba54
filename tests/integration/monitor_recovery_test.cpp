// Components that die by a signal: the restart on the recovery schedule, the
// mails that go with it, and giving up when every try has failed.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "support/monitor_harness.h"
#include "wait_util.h"

namespace {

using norvak_test::ConfValues;
using norvak_test::MonitorHarness;
using norvak_test::readFile;
using norvak_test::writeFile;

const char kSignature[] =
    "\n---\nSincerely yours,\nNorvak (R) Components Monitor\n6.0.0.201105110 for Linux\nHost \"";

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string hostName() {
  char buf[256] = {0};
  gethostname(buf, sizeof buf - 1);
  return buf;
}

// The agent keeps the monitor alive while the filter is being given up.
void writeSuite(MonitorHarness& h, const std::string& recoveryTimeList) {
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
  h.writeMeta("filter.mmc", h.app("FILTER", "AGENT", {{"scanner"}, {"notifier"}}));
  h.writeMeta("web.mmc", h.app("WEB", "FILTER", {{"httpd"}}));
  ConfValues conf("AGENT, FILTER, WEB");
  conf.recoveryTimeList = recoveryTimeList;
  h.writeConf(conf);
}

TEST(MonitorRecoveryTest, KilledComponentIsRestartedAndBothEventsAreMailed) {
  MonitorHarness h;
  writeSuite(h, "1, 5");
  // Without an agent to supply them, the file's addresses (it ends in the
  // [Monitor] section) head the mails.
  writeFile(h.confFile(), readFile(h.confFile()) +
                              "AdminMail = postmaster@example.org\nFilterMail = monitor@example.org\n");
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t first = h.waitComponent("scanner");
  ASSERT_GT(first, 0);
  const pid_t notifier = h.waitComponent("notifier");

  // SIGUSR1 rather than SIGSEGV: a sanitizer build of the component would
  // catch that one and exit normally; and it leaves no core file.
  ASSERT_EQ(kill(first, SIGUSR1), 0);
  const pid_t second = h.waitComponent("scanner", first);
  ASSERT_GT(second, 0) << "not restarted";
  EXPECT_TRUE(h.waitLines(h.argsLog("scanner"), 2));
  EXPECT_EQ(h.waitComponent("notifier"), notifier) << "the rest of the application is untouched";
  EXPECT_GE(h.findLine("component \"scanner\" terminated by signal " + std::to_string(SIGUSR1)), 0);

  ASSERT_TRUE(h.waitMails(2)) << h.mails().size();
  const std::vector<std::string> mails = h.mails();
  const std::string& failure = mails[0];
  const std::string& recovery = mails[1];
  const std::string file = h.binDir() + "scanner";

  EXPECT_EQ(failure.rfind("From:monitor@example.org\nTo:postmaster@example.org\nDate: ", 0), 0u)
      << failure;
  EXPECT_TRUE(contains(failure, "\nSubject: ERROR: Component \"scanner\" failed\n\n")) << failure;
  EXPECT_TRUE(contains(failure, "Component \"scanner\" (pid=" + std::to_string(first) +
                                    ", file=" + file + ") used in \"Suite FILTER\" failed at "))
      << failure;
  EXPECT_TRUE(
      contains(failure, "This could affect operation of the following application(s): \"WEB\"\n"))
      << failure;
  EXPECT_TRUE(contains(failure, "\n\nMonitor has tried to restart \"scanner\" at ")) << failure;
  EXPECT_TRUE(contains(failure, "\nFurther attempts to restart the module will made at: "))
      << failure;
  EXPECT_TRUE(contains(failure, "\nOnce the component is restarted, you will be informed\n"))
      << failure;
  EXPECT_TRUE(contains(failure, kSignature + hostName() + "\"")) << failure;

  EXPECT_TRUE(contains(recovery, "\nSubject: INFO: Component \"scanner\" recovery\n\n"))
      << recovery;
  EXPECT_TRUE(contains(recovery, "Component \"scanner\" (new pid=" + std::to_string(second) +
                                     ", file=" + file +
                                     ") used in \"Suite FILTER\" which failed at "))
      << recovery;
  EXPECT_TRUE(contains(recovery, " be recovery at ")) << recovery;
  EXPECT_FALSE(contains(recovery, "Abortive attempts")) << "recovered at the first try";
  EXPECT_TRUE(contains(recovery, kSignature)) << recovery;

  // The schedule starts afresh for the new process: a second death is
  // restarted too.
  ASSERT_EQ(kill(second, SIGKILL), 0);
  EXPECT_GT(h.waitComponent("scanner", second), 0);
  EXPECT_TRUE(h.waitMails(4));
  EXPECT_EQ(h.findLine("cannot recovery"), -1);
}

// Ten components die at once and are restarted, twenty reports within a few
// seconds, while the mail command is slow: three are mailed, the others
// are held back for the summary at the minute's end.
TEST(MonitorRecoveryTest, FailureStormMailsNoMoreThanTheLimitAMinute) {
  MonitorHarness h;
  std::vector<norvak_test::CompDef> comps;
  for (int i = 0; i < 10; ++i) comps.emplace_back("c" + std::to_string(i));
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
  h.writeMeta("storm.mmc", h.app("STORM", "AGENT", comps));
  ConfValues conf("AGENT, STORM");
  conf.injectCmd = "sleep 1 && " NORVAK_BIN_DIR "/tools/fake-inject " + h.mailDir();
  h.writeConf(conf);
  // The file ends in the [Monitor] section.
  writeFile(h.confFile(), readFile(h.confFile()) + "MailsPerMinute = 3\n");
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  std::vector<pid_t> pids;
  for (const auto& c : comps) pids.push_back(h.waitComponent(c.name));
  for (pid_t pid : pids) ASSERT_EQ(kill(pid, SIGUSR1), 0);
  for (size_t i = 0; i < comps.size(); ++i) EXPECT_GT(h.waitComponent(comps[i].name, pids[i]), 0);
  EXPECT_TRUE(waitUntil([&] { return h.countLines("\" held back") >= 17; }));
  ASSERT_TRUE(h.waitMails(3));
  EXPECT_EQ(h.countLines("send notification "), 3);
  EXPECT_EQ(h.countLines("\" held back"), 17);
  EXPECT_EQ(h.mails().size(), 3u);
}

TEST(MonitorRecoveryTest, ComponentThatKeepsFailingIsGivenUpAndItsApplicationStopped) {
  MonitorHarness h;
  writeSuite(h, "1, 1");
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t scanner = h.waitComponent("scanner");
  const pid_t agent = h.waitComponent("agent");
  const pid_t httpd = h.waitComponent("httpd");
  ASSERT_GT(scanner, 0);

  // From now on every start of the scanner answers "E": each try gets a new
  // process, which must not make the monitor lose count of the tries.
  const std::string link = h.binDir() + "scanner";
  ASSERT_EQ(unlink(link.c_str()), 0);
  writeFile(
      link, "#!/bin/sh\nexec '" NORVAK_BIN_DIR "/tools/fake-component' \"$@\" --answer=E\n");
  ASSERT_EQ(chmod(link.c_str(), 0755), 0);

  const size_t before = h.lineCount();
  ASSERT_EQ(kill(scanner, SIGKILL), 0);
  ASSERT_GE(h.waitLine("cannot recovery component scanner", before), 0);
  ASSERT_GE(h.waitLine("application \"FILTER\" has been stopped", before), 0);
  EXPECT_GE(h.findLine("one component from application FILTER is fault. The application will be "
                       "stoped",
                       before),
            0);
  EXPECT_EQ(h.starts("scanner").size(), 3u) << "one start and exactly two tries";

  ASSERT_TRUE(h.waitMails(2));
  const std::vector<std::string> mails = h.mails();
  EXPECT_TRUE(contains(mails[0], "Subject: ERROR: Component \"scanner\" failed")) << mails[0];
  const std::string& last = mails.back();
  EXPECT_TRUE(contains(last, "\nSubject: ERROR: Component \"scanner\" cannot recovery\n\n"))
      << last;
  EXPECT_TRUE(contains(last, "used in \"Suite FILTER\" which failed at ")) << last;
  // Both tries of the list "1, 1", one time each.
  EXPECT_TRUE(std::regex_search(last, std::regex(" cannot be recovery\nAbortive attempts to "
                                                 "recovery it were made at \\d\\d:\\d\\d:\\d\\d, "
                                                 "\\d\\d:\\d\\d:\\d\\d\n\n---\n")))
      << last;
  EXPECT_TRUE(contains(last, kSignature)) << last;
  for (const std::string& m : mails) EXPECT_FALSE(contains(m, "INFO: Component")) << m;

  // Only the faulty application goes: the rest of the run set, even WEB
  // which uses FILTER, keeps running, and so does the monitor.
  EXPECT_TRUE(h.componentPids("scanner").empty());
  EXPECT_TRUE(h.componentPids("notifier").empty());
  EXPECT_EQ(h.waitComponent("agent"), agent);
  EXPECT_EQ(h.waitComponent("httpd"), httpd);
  EXPECT_TRUE(norvak_test::processesMentioning(h.argsLog("scanner")).empty())
      << "a refused start is not left running";
  h.signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(h.waitExit(status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A component that answers and crashes right after, on every start: the
// answers are no recovery, so the list runs out instead of restarting it
// for ever.
TEST(MonitorRecoveryTest, CrashLoopIsGivenUpOnceTheListIsUsedUp) {
  struct Case {
    const char* recoveryTimeList;
    size_t starts;  // the first start and one per entry
    size_t mails;   // a failure per death, a recovery per answered try, the give-up
    std::string triesNamed;  // by the give-up, as made
  };
  const std::string t = "\\d\\d:\\d\\d:\\d\\d";
  const Case cases[] = {{"1, 1, 1", 4, 8, t + ", " + t + ", " + t + "\n"}, {"0", 2, 4, t + "\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recoveryTimeList);
    MonitorHarness h;
    h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
    h.writeMeta("crash.mmc",
                h.app("CRASH", "AGENT",
                      {{"crasher", "--die-after=50 --signal=" + std::to_string(SIGUSR1)}}));
    ConfValues conf("AGENT, CRASH");
    conf.recoveryTimeList = c.recoveryTimeList;
    h.writeConf(conf);
    ASSERT_TRUE(h.startUp()) << h.stderrText();
    const pid_t agent = h.waitComponent("agent");
    ASSERT_GE(h.waitLine("application \"CRASH\" has been stopped"), 0);
    ASSERT_TRUE(h.waitMails(c.mails)) << h.mails().size();
    norvak_test::sleepMs(1500);  // time for a try that should not come
    EXPECT_EQ(h.starts("crasher").size(), c.starts);
    const std::vector<std::string> mails = h.mails();
    EXPECT_EQ(mails.size(), c.mails);
    const std::regex lost("cannot recovery\n[\\s\\S]*cannot be recovery\nAbortive attempts to "
                          "recovery it were made at " +
                          c.triesNamed);
    EXPECT_EQ(std::count_if(mails.begin(), mails.end(),
                            [&](const std::string& m) { return std::regex_search(m, lost); }),
              1);
    EXPECT_EQ(h.countLines("cannot recovery component crasher"), 1);
    EXPECT_TRUE(h.componentPids("crasher").empty());
    EXPECT_EQ(h.waitComponent("agent"), agent);
  }
}

}  // namespace
