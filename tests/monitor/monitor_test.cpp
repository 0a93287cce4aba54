#include "monitor/monitor.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "fake_clock.h"
#include "file_util.h"
#include "frame/process_state.h"
#include "monitor/application.h"
#include "monitor_conf_test.h"
#include "wait_util.h"

namespace {

// A fake component started by the test itself: it holds its hup file
// locked from before its start answer until it is killed here.
class HupHolder {
 public:
  HupHolder(const std::string& exe, const std::string& hupDir, const std::string& hupLog) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      close(fds[1]);
      const std::string dirArg = "--hup-dir=" + hupDir;
      const std::string logArg = "--hup-log=" + hupLog;
      execl(kFakeComponent, exe.c_str(), dirArg.c_str(), logArg.c_str(), (char*)nullptr);
      _exit(127);
    }
    close(fds[1]);
    char answer = 0;
    ssize_t n;
    do {
      n = read(fds[0], &answer, 1);
    } while (n < 0 && errno == EINTR);
    answered_ = n == 1 && answer == ' ';
    close(fds[0]);
  }
  ~HupHolder() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  pid_t pid() const { return pid_; }
  bool answered() const { return answered_; }

 private:
  pid_t pid_ = -1;
  bool answered_ = false;
};

class MonitorTest : public MonitorConfTest {
 protected:
  std::string trace(const std::string& name) const { return dir_.path() + "/" + name + ".hups"; }
};

TEST(MonitorHupFileNameTest, SplitsComponentAndPid) {
  std::string comp;
  pid_t pid = 0;
  ASSERT_TRUE(Monitor::parseHupFileName("smtpd.1234.hup", comp, pid));
  EXPECT_EQ(comp, "smtpd");
  EXPECT_EQ(pid, 1234);
  // A dot in the directory or in the component name stays in its part.
  ASSERT_TRUE(Monitor::parseHupFileName("/var/run.d/mail.filter.77.hup", comp, pid));
  EXPECT_EQ(comp, "mail.filter");
  EXPECT_EQ(pid, 77);

  for (const char* bad : {"x.hup", "abc.hup", ".hup", "hup", "smtpd..hup", "smtpd.x.hup",
                          "/dir.1234/x.hup", "smtpd.1234_hup"}) {
    EXPECT_FALSE(Monitor::parseHupFileName(bad, comp, pid)) << bad;
  }
}

TEST_F(MonitorTest, ChangedConfReloadRelaysToLockedHupFilesAndRemovesStaleOnes) {
  HupHolder alpha(bin("alpha"), run(), trace("alpha"));
  HupHolder beta(bin("beta"), run(), trace("beta"));
  ASSERT_TRUE(alpha.answered());
  ASSERT_TRUE(beta.answered());
  const std::string alphaFile = run() + "alpha." + std::to_string(alpha.pid()) + ".hup";
  const std::string betaFile = run() + "beta." + std::to_string(beta.pid()) + ".hup";
  ASSERT_TRUE(pathExists(alphaFile));
  // Left behind by a writer that has gone: nobody holds its lock.
  const std::string stale = run() + "ghost.4000000.hup";
  writeFile(stale, "");
  const std::string bad = run() + "x.hup";
  writeFile(bad, "");

  Monitor monitor(conf(), "", false);
  // Beta is alive but not named; a pid without any hup file gets nothing.
  monitor.changedConfReload({alpha.pid(), 4000001});

  ASSERT_TRUE(waitForText(trace("alpha"), "HUP " + std::to_string(alpha.pid())));
  EXPECT_FALSE(pathExists(stale));
  EXPECT_TRUE(pathExists(alphaFile));
  EXPECT_TRUE(pathExists(betaFile));
  EXPECT_TRUE(pathExists(bad)) << "a file of another form is not ours to delete";
  const std::string text = readFile(log());
  EXPECT_NE(
      text.find("send HUP signal to component \"alpha\" with pid = " + std::to_string(alpha.pid())),
      std::string::npos);
  EXPECT_NE(text.find("unlink not locked hup file \"" + stale + "\""), std::string::npos);
  EXPECT_NE(text.find("bad hup file format \"" + bad + "\""), std::string::npos);

  // The set was used up: a second pass for beta alone leaves alpha alone.
  monitor.changedConfReload({beta.pid()});
  ASSERT_TRUE(waitForText(trace("beta"), "HUP " + std::to_string(beta.pid())));
  EXPECT_EQ(readFile(trace("alpha")), "HUP " + std::to_string(alpha.pid()) + "\n");
  EXPECT_EQ(readFile(trace("beta")), "HUP " + std::to_string(beta.pid()) + "\n");
  monitor.stop();
}

TEST_F(MonitorTest, OwnPidInTheChangedSetReloadsInsteadOfSignalling) {
  Monitor monitor(conf(), "", false);
  monitor.setOwnPid(getpid());

  sigset_t hup, old;
  sigemptyset(&hup);
  sigaddset(&hup, SIGHUP);
  ASSERT_EQ(sigprocmask(SIG_BLOCK, &hup, &old), 0);
  const size_t logBefore = readFile(log()).size();
  monitor.changedConfReload({getpid()});
  sigset_t pending;
  sigpending(&pending);
  const bool signalled = sigismember(&pending, SIGHUP) == 1;
  if (signalled) {
    int sig;
    sigwait(&hup, &sig);
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);

  EXPECT_FALSE(signalled) << "the monitor sent SIGHUP to itself";
  EXPECT_NE(readFile(log()).find("Monitor::reload()", logBefore), std::string::npos);
  monitor.stop();
}

// The restart schedule runs on the monitor's clock: with the clock held
// still nothing is restarted however long the loop turns, a step of the wall
// clock changes nothing, and every try and the give-up come exactly when the
// clock reaches them. Nothing here sleeps; the loop waits only for real events.
class MonitorScheduleTest : public MonitorTest {
 protected:
  void SetUp() override {
    MonitorTest::SetUp();
    // Answers the first start; every later start answers wrongly.
    unlink(bin("agent").c_str());
    writeScript(bin("agent"), "if [ -e " + dir_.path() + "/started ]; then printf x; exec sleep 60; fi\n"
                "touch " + dir_.path() + "/started\nprintf ' '\nexec sleep 600\n");
    std::string text = readFile(conf());
    text.replace(text.find("RecoveryTimeList = 1"), 20, "RecoveryTimeList = 5, 10");
    writeFile(conf(), text);
  }
  void TearDown() override { setProcessState(INIT); }

  Component& agent(Monitor& m) { return m.store().find("AGENT")->components().front(); }
  // Runs the loop until the condition holds; false after 10 s.
  template <typename F>
  bool turnUntil(Monitor& m, F done) {
    for (int i = 0; i < 50 && !done(); ++i) m.runFor(std::chrono::milliseconds(200));
    return done();
  }
  // Only what is due now by the monitor's clock happens.
  void settle(Monitor& m) { m.runDue(); }

  FakeClock clock_;
};

TEST_F(MonitorScheduleTest, TriesAndGiveUpFollowTheClock) {
  Monitor monitor(conf(), "", false, clock_);
  monitor.start();
  Component& comp = agent(monitor);
  ASSERT_TRUE(comp.running());
  const pid_t first = comp.pid();

  ASSERT_EQ(0, kill(first, SIGKILL));
  ASSERT_TRUE(turnUntil(monitor, [&] { return !comp.running(); }));
  EXPECT_NE(readFile(log()).find("component \"agent\" fault, pid=" + std::to_string(first)),
            std::string::npos);

  clock_.stepWall(std::chrono::hours(-1));  // no effect on the schedule
  clock_.advance(std::chrono::seconds(4));
  settle(monitor);
  EXPECT_FALSE(comp.starting() || comp.running()) << "try 1 came before its time";

  clock_.advance(std::chrono::seconds(1));  // try 1: starts, answers wrongly
  settle(monitor);
  ASSERT_TRUE(comp.starting());
  ASSERT_TRUE(turnUntil(monitor, [&] { return !comp.starting(); }));
  EXPECT_FALSE(comp.running());

  clock_.advance(std::chrono::seconds(9));
  settle(monitor);
  EXPECT_FALSE(comp.starting()) << "try 2 came before its time";
  EXPECT_EQ(readFile(log()).find("cannot recovery component agent"), std::string::npos);

  clock_.advance(std::chrono::seconds(1));  // try 2, the last: fails, then the give-up
  settle(monitor);
  ASSERT_TRUE(turnUntil(monitor, [&] { return !comp.starting(); }));
  EXPECT_NE(readFile(log()).find("cannot recovery component agent"), std::string::npos);
  EXPECT_FALSE(monitor.store().find("AGENT")->isRunning());
  monitor.stop();
}

}  // namespace
