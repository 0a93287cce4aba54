// The management server of the real monitor, driven by norvak-monitor-ctl
// and by raw clients over real Unix and TCP sockets.

#include <gtest/gtest.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ipc/nk_unique_fd.h"
#include "loopback_port.h"
#include "support/monitor_harness.h"
#include "support/program_run.h"
#include "wire_bytes.h"

namespace {

using norvak_test::ConfValues;
using norvak_test::MonitorHarness;
using norvak_test::ProgramRun;

// A bare client that sends what it is told and sees what comes back.
class RawClient {
 public:
  explicit RawClient(const std::string& path)
      : fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    connected_ = connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  // 127.0.0.1:port
  explicit RawClient(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  bool connected() const { return connected_; }
  // Done sending: the monitor closes once it has judged the request, and
  // until then this peer is still there to be looked up.
  void finish() { shutdown(fd_.get(), SHUT_WR); }
  int fd() const { return fd_.get(); }
  void send(const std::string& bytes) {
    ASSERT_EQ(write(fd_.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // The server has closed the connection (or sent something) by now.
  bool closedOrAnswered(int waitMs = 0) {
    pollfd entry{fd_.get(), POLLIN, 0};
    return poll(&entry, 1, waitMs) == 1;
  }
  // An Update answer: ok and the message.
  std::string readAnswer(int timeoutSec = 30) {
    std::string got = readUpTo(8, timeoutSec);
    if (got.size() < 8) return got;
    uint32_t length = 0;
    for (int i = 4; i < 8; ++i) length = length << 8 | static_cast<unsigned char>(got[i]);
    return got + readUpTo(length, timeoutSec);
  }
  // Everything until the server closes, within the time-out.
  std::string readToEnd(int timeoutSec = 30) { return readUpTo(std::string::npos, timeoutSec); }

 private:
  std::string readUpTo(size_t count, int timeoutSec) {
    std::string got;
    char buffer[256];
    for (int waited = 0; got.size() < count && waited < timeoutSec * 10;) {
      pollfd entry{fd_.get(), POLLIN, 0};
      if (poll(&entry, 1, 100) == 0) {
        ++waited;
        continue;
      }
      const ssize_t n = read(fd_.get(), buffer, std::min(sizeof(buffer), count - got.size()));
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

  norvak::base::UniqueFd fd_;
  bool connected_ = false;
};

// An installation with AGENT and MAILD and a management server on a Unix
// socket and on a TCP port of the loopback interface.
class MonitorServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = freePort();
    ASSERT_GT(port_, 0);
    h_.writeMeta("agent.mmc", h_.app("AGENT", "", {{"agent"}}));
    h_.writeMeta("maild.mmc", h_.app("MAILD", "AGENT", {{"maild"}, {"smtpd"}}));
    h_.writeConf(ConfValues("AGENT, MAILD"));
    h_.setConfValue("Address", unixAddress() + ", " + inetAddress());
  }

  void startMonitor() {
    ASSERT_TRUE(h_.startUp()) << h_.stderrText();
    agent_ = h_.waitComponent("agent");
    maild_ = h_.waitComponent("maild");
    smtpd_ = h_.waitComponent("smtpd");
    ASSERT_GT(smtpd_, 0);
  }

  std::string socketPath() const { return h_.runDir() + "mgmt.sock"; }
  std::string unixAddress() const { return "local:" + socketPath(); }
  std::string inetAddress() const { return "inet:" + std::to_string(port_) + "@127.0.0.1"; }

  ProgramRun ctl(std::vector<std::string> args, uid_t uid = 0, gid_t gid = 0) {
    return norvak_test::runCtl(h_.confFile(), std::move(args), uid, gid);
  }

  // An update package whose pre-update script records its arguments, one
  // per line, in trace(), then runs body.
  std::string package(const std::string& name, const std::string& body = "") {
    const std::string dir = h_.root() + "/" + name;
    EXPECT_EQ(system(("mkdir -p '" + dir + "/unix/scripts'").c_str()), 0);
    norvak_test::writeFile(
        dir + "/unix/scripts/pre-update.sh",
        "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + trace() + "'\n" + body);
    return dir;
  }
  std::string trace() const { return h_.root() + "/update.args"; }

  MonitorHarness h_;
  int port_ = -1;
  pid_t agent_ = -1, maild_ = -1, smtpd_ = -1;
};

TEST_F(MonitorServerTest, ReloadCompRelaysOneSighupPerPidOverUnixAndTcp) {
  startMonitor();
  struct stat status;
  ASSERT_EQ(stat(socketPath().c_str(), &status), 0);
  EXPECT_TRUE(S_ISSOCK(status.st_mode));
  EXPECT_EQ(status.st_mode & 0002, 0u) << "others may not write to the socket";

  // The first configured address is the Unix socket.
  ProgramRun run = ctl({"reload", std::to_string(smtpd_)});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out + run.err, "");
  ASSERT_TRUE(h_.waitLines(h_.hupLog("smtpd"), 1));
  run = ctl({"--address", inetAddress(), "reload", std::to_string(maild_)});
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_TRUE(h_.waitLines(h_.hupLog("maild"), 1));
  // By now a second SIGHUP for smtpd would have come before maild's.
  EXPECT_EQ(h_.hups("smtpd"), std::vector<std::string>{"HUP " + std::to_string(smtpd_)});
  EXPECT_TRUE(h_.hups("agent").empty());

  const size_t before = h_.lineCount();

  // StartApp is for the agent: the monitor drops the connection unanswered
  // and serves the next request.
  RawClient startApp(socketPath());
  ASSERT_TRUE(startApp.connected());
  startApp.send(BigEndian32(8201) + DdpString("MAILD") + BigEndian32(1) + DdpString("") +
                DdpString(""));
  EXPECT_EQ(startApp.readToEnd(), "");
  EXPECT_GE(h_.waitLine("server: unsupported protocol ID -> 8201", before), 0);

  // The monitor's own pid reloads the monitor, which passes SIGHUP to every
  // component, and signals nothing itself.
  const size_t reload = h_.lineCount();
  run = ctl({"reload", std::to_string(h_.pid())});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_GE(h_.waitLine("Monitor::reload()", reload), 0);
  EXPECT_TRUE(h_.waitLines(h_.hupLog("agent"), 1));
  EXPECT_TRUE(h_.waitLines(h_.hupLog("smtpd"), 2));
  EXPECT_EQ(h_.findLine("signal to component with pid = " + std::to_string(h_.pid()), reload), -1);
  EXPECT_EQ(h_.countLines("Monitor::reload(): arrived"), 0);

  h_.signal(SIGTERM);
  int exit = 0;
  ASSERT_TRUE(h_.waitExit(exit));
  EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << exit;
  EXPECT_NE(stat(socketPath().c_str(), &status), 0) << "the socket goes with the monitor";
  run = ctl({"reload"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err.rfind("norvak-monitor-ctl: cannot reach the monitor at ", 0), 0u) << run.err;
}

TEST_F(MonitorServerTest, UpdateRunsThePackageScriptWithTheRequestStringsAsArguments) {
  const passwd* user = getpwuid(geteuid());
  const group* grp = getgrgid(getegid());
  ASSERT_TRUE(user && grp);
  const std::string userGroup = std::string(user->pw_name) + ":" + grp->gr_name;
  h_.setConfValue("User", user->pw_name);
  h_.setConfValue("Group", grp->gr_name);
  startMonitor();

  const std::string pkg = package("pkg");
  const std::string planted = h_.root() + "/planted";
  const std::string argument = "x;touch " + planted;
  ProgramRun run = ctl({"update", pkg, argument, "20-nvunix"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out + run.err, "");
  EXPECT_EQ(norvak_test::fileLines(trace()),
            (std::vector<std::string>{pkg, argument, "44", "10", userGroup}));
  EXPECT_NE(access(planted.c_str(), F_OK), 0) << "the argument ran as a command";
  EXPECT_GE(h_.findLine("pre-update process successful"), 0);
  // On the wire: 1 and an empty message.
  RawClient raw(socketPath());
  ASSERT_TRUE(raw.connected());
  raw.send(BigEndian32(8204) + DdpString(pkg) + DdpString("b") + DdpString("20-nvunix"));
  EXPECT_EQ(raw.readAnswer(), BigEndian32(1) + DdpString(""));

  // Anything on standard error fails the update, over TCP as over the
  // socket, and the package goes.
  const std::string failing = package("failing", "echo 'no space left' >&2\n");
  run = ctl({"--address", inetAddress(), "update", failing, "a", "20-nvunix"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(
      run.err,
      "norvak-monitor-ctl: update failed: pre-update process error because of no space left\n");
  EXPECT_NE(access(failing.c_str(), F_OK), 0);
}

TEST_F(MonitorServerTest, StallingClientsHoldOnlyTheirOwnConnectionForTheTimeout) {
  h_.setConfValue("Timeout", "10");
  startMonitor();
  std::vector<std::unique_ptr<RawClient>> stallers;
  for (const std::string& bytes :
       {std::string(), std::string("\0\0", 2), BigEndian32(8200) + BigEndian32(2) + BigEndian32(smtpd_),
        BigEndian32(8204) + BigEndian32(0xFFFFFFFFu) + "/tmp", BigEndian32(8204) + DdpString("/tmp"),
        BigEndian32(8204) + BigEndian32(0xFFFFFFFFu)}) {
    stallers.push_back(std::make_unique<RawClient>(socketPath()));
    ASSERT_TRUE(stallers.back()->connected());
    if (!bytes.empty()) stallers.back()->send(bytes);
  }

  // Served while every staller still holds its connection.
  const ProgramRun run = ctl({"reload", std::to_string(agent_)});
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_TRUE(h_.waitLines(h_.hupLog("agent"), 1));
  for (size_t i = 0; i < stallers.size(); ++i) {
    EXPECT_FALSE(stallers[i]->closedOrAnswered()) << i;
  }
  // Then each is dropped once its time is up, unanswered; the half request
  // signalled nobody.
  for (size_t i = 0; i < stallers.size(); ++i) {
    EXPECT_EQ(stallers[i]->readToEnd(40), "") << i;
  }
  EXPECT_TRUE(h_.hups("smtpd").empty());
  EXPECT_EQ(ctl({"reload"}).status, 0);
}

// What each of the exchanges got back, '|' after each, from a child that has
// become `who`. Every step is due at once: one that took `slowMs` or more
// waited for the server to drop an idle connection instead of for its
// answer, and says so after what it got.
std::string exchangesAs(const passwd* who, const std::vector<std::function<std::string()>>& steps,
                        long long slowMs) {
  int answers[2];
  EXPECT_EQ(pipe(answers), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(answers[0]);
    if (setgid(who->pw_gid) != 0 || setuid(who->pw_uid) != 0) _exit(1);
    for (const auto& step : steps) {
      const long long began = norvak_test::nowMs();
      std::string got = step();
      const long long took = norvak_test::nowMs() - began;
      if (took >= slowMs) got += " after " + std::to_string(took) + " ms";
      got += "|";
      if (write(answers[1], got.data(), got.size()) < 0) _exit(4);
    }
    _exit(0);
  }
  close(answers[1]);
  std::string got;
  char buffer[512];
  ssize_t n;
  while ((n = read(answers[0], buffer, sizeof(buffer))) > 0)
    got.append(buffer, static_cast<size_t>(n));
  close(answers[0]);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return got;
}

// Root only: a test needs another user to knock at the monitor's door.
TEST_F(MonitorServerTest, WhoMayAskWhatIsTheSameOnEveryTransport) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  h_.setConfValue("Timeout", "5");
  const group* nobodys = getgrgid(nobody->pw_gid);
  ASSERT_NE(nobodys, nullptr);
  startMonitor();
  // The socket's mode keeps strangers out; opened here so that the
  // monitor's own check is what refuses them.
  ASSERT_EQ(chmod(h_.root().c_str(), 0755), 0);
  ASSERT_EQ(chmod(h_.runDir().c_str(), 0755), 0);
  ASSERT_EQ(chmod(socketPath().c_str(), 0777), 0);
  const std::string pkg = package("pkg");
  ASSERT_EQ(chown(pkg.c_str(), nobody->pw_uid, nobody->pw_gid), 0);

  const std::string reload =
      BigEndian32(8200) + BigEndian32(1) + BigEndian32(static_cast<uint32_t>(smtpd_));
  const std::string fullReload =
      BigEndian32(8200) + BigEndian32(1) + BigEndian32(static_cast<uint32_t>(h_.pid()));
  const std::string update = BigEndian32(8204) + DdpString(pkg) + DdpString("a") + DdpString("p");
  const std::string path = socketPath();
  const int port = port_;
  std::vector<std::function<std::string()>> steps;
  for (bool tcp : {false, true}) {
    for (const std::string* request : {&reload, &fullReload, &update}) {
      // Decided out here: inside a copying closure, &update is the copy's.
      const bool answered = request == &update;
      steps.push_back([=] {
        RawClient client = tcp ? RawClient(port) : RawClient(path);
        if (!client.connected()) return std::string("not connected");
        client.send(*request);
        // A refused reload is dropped; an update is answered on a connection
        // kept for the next request.
        return answered ? client.readAnswer() : client.readToEnd();
      });
    }
  }
  const std::string reason =
      "uid " + std::to_string(nobody->pw_uid) + " is neither root nor the monitor's user (uid 0)";
  const std::string refused = "||" + BigEndian32(0) + DdpString("update refused: " + reason) + "|";
  // Half the Timeout: the kept connection would end at the whole of it.
  EXPECT_EQ(exchangesAs(nobody, steps, 2500), refused + refused);
  // One record a minute for this peer: the first.
  EXPECT_GE(h_.waitLine("management request refused: ReloadComp (8200) from local peer"), 0);
  EXPECT_EQ(h_.countLines("management request refused: "), 1);
  EXPECT_NE(access(trace().c_str(), F_OK), 0) << "the script did not run";
  EXPECT_EQ(access(pkg.c_str(), F_OK), 0);
  EXPECT_EQ(h_.findLine("Monitor::reload()"), -1);

  // norvak-monitor-ctl is told the refusal; the suite stays up.
  ProgramRun run = ctl({"reload", std::to_string(smtpd_)}, nobody->pw_uid, nobody->pw_gid);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "norvak-monitor-ctl: request refused: uid " +
                         std::to_string(nobody->pw_uid) +
                         " is neither root, the monitor's user (uid 0) nor the user of a running "
                         "component\n");
  for (const char* request : {"status", "stop"}) {
    run = ctl({"--address", inetAddress(), request, "AGENT"}, nobody->pw_uid, nobody->pw_gid);
    EXPECT_EQ(run.status, 1) << request;
    EXPECT_NE(run.err.find("request refused: " + reason), std::string::npos) << run.err;
  }
  EXPECT_TRUE(h_.hups("smtpd").empty());
  EXPECT_TRUE(norvak_test::processExists(agent_));

  // Members of AdminGroup may do what root may, once a reload has read it.
  h_.setConfValue("AdminGroup", nobodys->gr_name);
  const size_t before = h_.lineCount();
  h_.signal(SIGHUP);
  ASSERT_GE(h_.waitLine("DEBUG Monitor::reload()", before), 0);
  ASSERT_GE(h_.waitLine("Monitor::reconnectToAgent()", before), 0);
  for (const char* request : {"stop", "start"}) {
    run = ctl({"--address", inetAddress(), request, "MAILD"}, nobody->pw_uid, nobody->pw_gid);
    EXPECT_EQ(run.status, 0) << request << ": " << run.err;
  }
  EXPECT_GT(h_.waitComponent("smtpd", smtpd_), 0);
}

// A component's user may have the suite's programs reloaded, as the suite's
// programs do of each other, but nothing more.
TEST_F(MonitorServerTest, AComponentsUserMayReloadItsPeers) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a component as another user";
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  norvak_test::CompDef peer("peer");
  peer.user = "nobody";
  h_.writeMeta("peer.mmc", h_.app("PEER", "", {peer}));
  h_.setConfValue("RunAppList", "AGENT, MAILD, PEER");
  ASSERT_EQ(chmod(h_.root().c_str(), 0755), 0);
  ASSERT_EQ(system(("mkdir -p '" + h_.root() + "/trace' && chmod 0777 '" + h_.root() + "/trace'")
                       .c_str()),
            0);
  startMonitor();
  ASSERT_GT(h_.waitComponent("peer"), 0);
  const std::string reload =
      BigEndian32(8200) + BigEndian32(1) + BigEndian32(static_cast<uint32_t>(smtpd_));
  const std::string fullReload =
      BigEndian32(8200) + BigEndian32(1) + BigEndian32(static_cast<uint32_t>(h_.pid()));
  const int port = port_;
  std::vector<std::function<std::string()>> steps;
  for (const std::string* request : {&reload, &fullReload}) {
    steps.push_back([=] {
      RawClient client(port);
      client.send(*request);
      client.finish();
      return client.readToEnd();
    });
  }
  EXPECT_EQ(exchangesAs(nobody, steps, 15000), "||");
  ASSERT_TRUE(h_.waitLines(h_.hupLog("smtpd"), 1));
  EXPECT_EQ(h_.hups("smtpd"), std::vector<std::string>{"HUP " + std::to_string(smtpd_)});
  // The first and only refusal of this peer is the full reload's.
  const int refused = h_.waitLine("management request refused: ");
  ASSERT_GE(refused, 0);
  EXPECT_NE(h_.lineAt(static_cast<size_t>(refused))
                .find("ReloadComp (8200) of the monitor's own pid from inet peer 127.0.0.1:"),
            std::string::npos)
      << h_.lineAt(static_cast<size_t>(refused));
  EXPECT_TRUE(h_.hups("agent").empty()) << "no full reload for a component's user";
}

// Strangers can neither lock root out, nor delay a restart, nor fill the log.
TEST_F(MonitorServerTest, AFloodOfConnectionsAndGarbageWearsNothingDown) {
  h_.setConfValue("Level", "Info");
  startMonitor();
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 200; ++i) idle.push_back(std::make_unique<RawClient>(port_));
  const long long asked = norvak_test::nowMs();
  const ProgramRun status = ctl({"--timeout", "2", "status"});
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_LT(norvak_test::nowMs() - asked, 2000) << "root's status over the local socket";
  kill(smtpd_, SIGKILL);
  EXPECT_GT(h_.waitComponent("smtpd", smtpd_, 10), 0);
  idle.clear();

  const off_t logBefore = static_cast<off_t>(norvak_test::readFile(h_.logFile()).size());
  const long long end = norvak_test::nowMs() + 10000;
  int sent = 0;
  while (norvak_test::nowMs() < end) {
    RawClient client(port_);
    if (!client.connected()) continue;
    client.send(BigEndian32(0xDEADBEEFu) + "garbage");
    ++sent;
  }
  const off_t grown =
      static_cast<off_t>(norvak_test::readFile(h_.logFile()).size()) - logBefore;
  EXPECT_LT(grown, 1024 * 1024) << sent << " garbage frames";
  EXPECT_GE(h_.waitLine("protocol errors suppressed"), 0);
  EXPECT_EQ(ctl({"status"}).status, 0);
}

}  // namespace
