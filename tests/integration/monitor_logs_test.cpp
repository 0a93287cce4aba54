// What components wrote, read back with norvak-monitor-ctl logs, followed
// with -f, and the monitor's own log reopened on request after a rotation.

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "file_util.h"
#include "support/monitor_harness.h"
#include "support/program_run.h"

namespace {

using norvak_test::ConfValues;
using norvak_test::MonitorHarness;
using norvak_test::ProgramRun;
using norvak_test::nowMs;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    out.push_back(text.substr(at, nl - at));
  return out;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A `logs -f` running beside the test, its output read as it comes.
class Follower {
 public:
  explicit Follower(const std::vector<std::string>& args) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(p[1], 1);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      std::vector<std::string> words = args;
      std::vector<char*> argv;
      for (std::string& w : words) argv.push_back(&w[0]);
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(p[1]);
    out_ = p[0];
  }
  ~Follower() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }

  // Reads until text shows, for up to ms.
  bool waitFor(const std::string& text, long long ms) {
    const long long end = nowMs() + ms;
    while (text_.find(text) == std::string::npos) {
      const long long left = end - nowMs();
      pollfd p{out_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      char buf[4096];
      const ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) return false;
      text_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  // The exit status after sig; -1 when it did not exit within 10 s.
  int stop(int sig) {
    kill(pid_, sig);
    int status = 0;
    for (long long end = nowMs() + 10000; nowMs() < end;) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      norvak_test::sleepMs(10);
    }
    return -1;
  }
  const std::string& text() const { return text_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool reaped_ = false;
  std::string text_;
};

TEST(MonitorLogsTest, LastLinesFollowedLinesAndTheLogReopenedWithoutSignallingAnyone) {
  MonitorHarness h;
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
  h.writeMeta("talk.mmc", h.app("TALK", "AGENT", {{"talker"}}));
  h.writeConf(ConfValues("AGENT, TALK"));
  h.setConfValue("Address", "local:" + h.runDir() + "mgmt.sock");
  // Twelve lines, then on standard error whatever comes through the fifo.
  const std::string fifo = h.root() + "/talk.fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const std::string talker = h.binDir() + "talker";
  ASSERT_EQ(0, unlink(talker.c_str()));
  const std::string pidFile = h.root() + "/talker.pid";
  writeScript(talker, "echo $$ >" + pidFile + "\nprintf ' '\nseq -f 'line %g' 1 12\nexec cat <" +
                          fifo + " >&2\n");
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  auto ctl = [&h](std::vector<std::string> args) { return norvak_test::runCtl(h.confFile(), args); };

  ProgramRun last;
  for (long long end = nowMs() + 10000; nowMs() < end; norvak_test::sleepMs(50)) {
    last = ctl({"logs", "TALK", "-n", "5"});
    if (last.status != 0 || last.out.find("line 12") != std::string::npos) break;
  }
  ASSERT_EQ(0, last.status) << last.err;
  const std::vector<std::string> five = linesOf(last.out);
  ASSERT_EQ(5u, five.size()) << last.out;
  for (int i = 0; i < 5; ++i)
    EXPECT_TRUE(endsWith(five[i], " talker out: line " + std::to_string(8 + i))) << five[i];
  const ProgramRun one = ctl({"logs", "TALK", "talker", "-n", "1"});
  EXPECT_EQ(0, one.status) << one.err;
  EXPECT_TRUE(endsWith(one.out, " out: line 12\n") && linesOf(one.out).size() == 1) << one.out;
  EXPECT_EQ(std::string::npos, one.out.find("talker")) << "named: no prefix";

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"logs", "NOPE"}, std::vector<std::string>{"logs", "TALK", "nope"}}) {
    const ProgramRun refused = ctl(bad);
    EXPECT_EQ(1, refused.status) << bad.back();
    EXPECT_NE(std::string::npos, refused.err.find("unknown")) << refused.err;
  }

  // A new line shows while following; Ctrl-C ends it cleanly.
  Follower follower({norvak_test::kCtl, "--conf", h.confFile(), "logs", "-f", "-n", "1", "TALK"});
  ASSERT_TRUE(follower.waitFor("out: line 12\n", 10000)) << follower.text();
  int writer = -1;
  for (long long end = nowMs() + 10000; writer < 0 && nowMs() < end; norvak_test::sleepMs(10))
    writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(writer, 0) << "cat never read the fifo: " << strerror(errno);
  ASSERT_EQ(6, write(writer, "fresh\n", 6));
  const long long t0 = nowMs();
  EXPECT_TRUE(follower.waitFor("talker err: fresh\n", 10000)) << follower.text();
  RecordProperty("follow_ms", std::to_string(nowMs() - t0));
  EXPECT_EQ(0, follower.stop(SIGINT)) << follower.text();
  EXPECT_EQ(2u, linesOf(follower.text()).size()) << follower.text();

  // Rotated: the records go on in a new file by the old name.
  const std::string rotated = h.logFile() + ".1";
  ASSERT_EQ(0, rename(h.logFile().c_str(), rotated.c_str()));
  const ProgramRun reopen = ctl({"reopen-logs"});
  EXPECT_EQ(0, reopen.status) << reopen.err;
  EXPECT_NE(std::string::npos,
            readFile(h.logFile()).find("log file reopened at the administrator's request"));
  EXPECT_EQ(std::string::npos, readFile(rotated).find("log file reopened"));
  EXPECT_TRUE(h.hups("agent").empty());
  const pid_t talkerPid = atoi(readFile(pidFile).c_str());
  EXPECT_TRUE(talkerPid > 0 && kill(talkerPid, 0) == 0) << "SIGHUP ends cat";
  h.shutdown();
  close(writer);
}

}  // namespace
