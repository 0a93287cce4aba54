// The real monitor supervising a real program, Python's web server, through
// norvak-run: started only once the port accepts, killed, reported,
// restarted and reported recovered, and stopped without leftovers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loopback_port.h"
#include "ipc/nk_unique_fd.h"
#include "support/monitor_harness.h"
#include "support/program_run.h"
#include "wait_util.h"

namespace {

using norvak::base::UniqueFd;
using norvak_test::ConfValues;
using norvak_test::MonitorHarness;

const std::string kRun = std::string(NORVAK_BIN_DIR) + "/tools/norvak-run";

bool accepts(int port) {
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

TEST(MonitorNorvakRun, WebServerIsStartedWhenReadyRestartedWhenKilledAndStoppedClean) {
  const std::string python = norvak_test::findPython();
  if (python.empty()) GTEST_SKIP() << "python3 not installed";

  MonitorHarness h;
  const int port = freePort();
  ASSERT_EQ(0, symlink(kRun.c_str(), (h.binDir() + "web").c_str()));
  // The server's directory is the test's, so that the harness finds every
  // process of it by the path on its command line.
  h.writeMeta("web.mmc",
              "APPLICATION WEB\n"
              "  FULLNAME \"Web server\"\n"
              "  PATH \"" + h.binDir() + "\"\n"
              "  COMPONENTS\n"
              "    web \"--ready-tcp 127.0.0.1:" + std::to_string(port) + " --output " + h.root() +
              "/web.log -- " + python + " -m http.server --bind 127.0.0.1 --directory " + h.root() +
              " " + std::to_string(port) + "\" 30 5 MAIL -\n"
              "  ENDCOMPONENTS\n"
              "ENDAPPLICATION\n");
  ConfValues conf("WEB");
  conf.recoveryTimeList = "1, 1";
  conf.level = "Info";
  h.writeConf(conf);
  h.start();

  const std::string started = "component \"web\" from application \"WEB\" has been started";
  ASSERT_GE(h.waitLine(started), 0) << h.stderrText();
  EXPECT_TRUE(accepts(port)) << "started before the port accepted";
  const pid_t wrapper = h.waitComponent("web");
  ASSERT_GT(wrapper, 0);
  const std::vector<pid_t> server = norvak_test::childrenOf(wrapper);
  ASSERT_EQ(1u, server.size());

  // The server killed: norvak-run dies by the same signal, so the monitor
  // sees a failure, mails it, restarts the component and mails the recovery.
  ASSERT_EQ(0, kill(server[0], SIGKILL));
  ASSERT_GE(h.waitLine("component \"web\" terminated by signal 9"), 0);
  ASSERT_TRUE(h.waitMails(2));
  const std::vector<std::string> mails = h.mails();
  EXPECT_NE(std::string::npos, mails[0].find("Subject: ERROR: Component \"web\" failed")) << mails[0];
  EXPECT_NE(std::string::npos, mails[1].find("Subject: INFO: Component \"web\" recovery")) << mails[1];
  EXPECT_GT(h.waitComponent("web", wrapper), 0);
  EXPECT_TRUE(accepts(port));

  // A stop goes through norvak-run to the server.
  h.signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(h.waitExit(status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(waitUntil([&] { return norvak_test::processesMentioning(h.root()).empty(); }))
      << "a process of the suite outlived the monitor";
}

// The stopped server keeps its port open, so only a check of what it
// serves finds it out: norvak-run's health command stops feeding the
// watchdog, and the monitor restarts the server. A program that speaks the
// notification protocol itself is heard through norvak-run.
TEST(MonitorNorvakRun, StoppedServerIsFoundByTheHealthCommandAndNotificationsAreRelayed) {
  const std::string python = norvak_test::findPython();
  if (python.empty()) GTEST_SKIP() << "python3 not installed";

  MonitorHarness h;
  const int port = freePort();
  const std::string check = h.root() + "/check-web";
  norvak_test::writeFile(check, "#!/bin/sh\nexec " + python +
                                    " -c 'import urllib.request; urllib.request.urlopen("
                                    "\"http://127.0.0.1:" + std::to_string(port) +
                                    "/\", timeout=1)'\n");
  chmod(check.c_str(), 0755);
  for (const char* name : {"web", "relayed"})
    ASSERT_EQ(0, symlink(kRun.c_str(), (h.binDir() + name).c_str()));
  h.writeMeta("web.mmc",
              "APPLICATION WEB\n"
              "  PATH \"" + h.binDir() + "\"\n"
              "  COMPONENTS\n"
              "    web \"--ready-tcp 127.0.0.1:" + std::to_string(port) + " --health-cmd " + check +
              " --health-interval 1 --output " + h.root() + "/web.log -- " + python +
              " -m http.server --bind 127.0.0.1 --directory " + h.root() + " " +
              std::to_string(port) + "\" 30 5 MAIL -\n"
              "    relayed \"--ready-notify --output " + h.root() + "/relayed.log -- " NORVAK_BIN_DIR
              "/tools/fake-component --notify-watchdog=200\" 10 5 MAIL -\n"
              "  ENDCOMPONENTS\n"
              "  WATCHDOG web 4\n"
              "  WATCHDOG relayed 2\n"
              "ENDAPPLICATION\n");
  ConfValues conf("WEB");
  conf.withAgent = false;
  h.writeConf(conf);
  h.setConfValue("Address", "local:" + h.runDir() + "mgmt.sock");
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t wrapper = h.waitComponent("web");
  const pid_t relayed = h.waitComponent("relayed");
  ASSERT_GT(wrapper, 0);
  ASSERT_GT(relayed, 0);
  // The health command may be running beside it.
  std::vector<pid_t> server;
  for (pid_t child : norvak_test::childrenOf(wrapper))
    for (pid_t mentioning : norvak_test::processesMentioning("http.server"))
      if (child == mentioning) server.push_back(child);
  ASSERT_EQ(1u, server.size());
  norvak_test::sleepMs(5000);  // longer than the watchdog: the fed one lives on
  const std::string status = norvak_test::runCtl(h.confFile(), {"status"}).out;
  EXPECT_NE(std::string::npos, status.find("watchdog ok")) << status;
  EXPECT_NE(std::string::npos, status.find("\"serving\"")) << status;
  // norvak-run forks for each health command: between the fork and the
  // exec the child bears its name, so the processes are not counted by name.
  EXPECT_TRUE(norvak_test::processExists(wrapper));
  EXPECT_TRUE(h.mails().empty());

  ASSERT_EQ(0, kill(server[0], SIGSTOP));
  EXPECT_TRUE(accepts(port)) << "the kernel no longer accepts for the stopped server";
  ASSERT_TRUE(h.waitMails(2)) << "not restarted";
  const std::vector<std::string> mails = h.mails();
  EXPECT_NE(std::string::npos, mails[0].find("Cause: watchdog: no WATCHDOG=1 within 4 s")) << mails[0];
  EXPECT_NE(std::string::npos, mails[1].find("Component \"web\" recovery")) << mails[1];
  EXPECT_FALSE(norvak_test::processExists(server[0])) << "the stopped server was left behind";
  EXPECT_FALSE(norvak_test::processExists(wrapper));
  EXPECT_TRUE(norvak_test::processExists(relayed));
}

}  // namespace
