// The monitor under a service manager that asked for readiness reports
// ($NOTIFY_SOCKET): the start's progress, READY=1 once the first
// applications have started, RELOADING=1 and READY=1 around a reload, the
// loop's watchdog pings, STOPPING=1 when the stop begins; nothing at all in a
// check.

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "frame/service_notify.h"
#include "ipc/nk_unique_fd.h"
#include "support/monitor_harness.h"

namespace {

using norvak::base::UniqueFd;
using norvak_test::ConfValues;
using norvak_test::MonitorHarness;

// systemd's end of the protocol: a datagram socket at a path.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    bound_ = bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }

  // The next message but the watchdog's pings, which are counted; empty
  // after ms.
  std::string next(int ms) {
    const long long end = norvak_test::nowMs() + ms;
    for (;;) {
      struct pollfd p = {fd_.get(), POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(std::max(0LL, end - norvak_test::nowMs()))) <= 0) return "";
      char buf[512];
      const ssize_t n = recv(fd_.get(), buf, sizeof buf, 0);
      const std::string message = n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
      if (message != "WATCHDOG=1") return message;
      ++pings;
    }
  }
  int pings = 0;

 private:
  std::string path_;
  UniqueFd fd_;
  bool bound_ = false;
};

TEST(MonitorServiceNotify, ProgressReadyReloadWatchdogAndStop) {
  if (!serviceNotifySupported()) GTEST_SKIP() << "built without libsystemd";
  MonitorHarness h;
  NotifySocket manager(h.root() + "/notify");
  ASSERT_TRUE(manager.bound());
  h.writeMeta("suite.mmc", h.app("AGENT", "", {{"agent"}}) + h.app("WEB", "AGENT", {{"httpd", "--answer-delay=300"}}));
  ConfValues conf("WEB");
  conf.level = "Info";
  h.writeConf(conf);
  h.setEnv("NOTIFY_SOCKET", manager.path());
  h.setEnv("WATCHDOG_USEC", "200000");
  h.start();

  EXPECT_EQ("STATUS=starting AGENT (1/2)", manager.next(30000));
  EXPECT_EQ("STATUS=starting WEB (2/2)", manager.next(30000));
  EXPECT_EQ("STATUS=running 2 applications", manager.next(30000));
  const std::string ready = manager.next(30000);
  EXPECT_EQ("READY=1", ready);
  // Readiness comes with the start of the whole first run set (info lines
  // may still sit in the log's buffer when it arrives).
  EXPECT_GE(h.waitLine("application \"WEB\" has been started"), 0);
  EXPECT_GE(h.waitLine(norvak_test::kMonitorStarted), 0);

  h.signal(SIGHUP);
  EXPECT_EQ(0u, manager.next(30000).rfind("RELOADING=1\nMONOTONIC_USEC=", 0));
  EXPECT_EQ("STATUS=running 2 applications", manager.next(30000));
  EXPECT_EQ("READY=1", manager.next(30000));
  // Pinged every 100 ms from the loop's timer.
  const int before = manager.pings;
  for (int i = 0; i < 60 && manager.pings - before < 3; ++i) EXPECT_EQ("", manager.next(500));
  EXPECT_GE(manager.pings - before, 3);

  h.signal(SIGTERM);
  EXPECT_EQ("STOPPING=1", manager.next(30000));
  int status = 0;
  ASSERT_TRUE(h.waitExit(status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ("", manager.next(0));
}

TEST(MonitorServiceNotify, ACheckSaysNothing) {
  MonitorHarness h;
  NotifySocket manager(h.root() + "/notify");
  ASSERT_TRUE(manager.bound());
  h.writeMeta("suite.mmc", h.app("AGENT", "", {{"agent"}}));
  h.writeConf(ConfValues());
  h.setEnv("NOTIFY_SOCKET", manager.path());
  std::string out, err;
  EXPECT_EQ(0, h.runToEnd({"--check-only"}, out, err)) << err;
  EXPECT_EQ("", manager.next(0));
}

}  // namespace
