// The real monitor supervising a real program, Python's web server, through
// norvak-run: started only once the port accepts, killed, reported,
// restarted and reported recovered, and stopped without leftovers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loopback_port.h"
#include "ipc/nk_unique_fd.h"
#include "support/monitor_harness.h"
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

}  // namespace
