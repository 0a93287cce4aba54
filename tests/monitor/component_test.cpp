// Component start, answers, stop and signals, against real child processes:
// fake-component placed under the component's name in a temporary
// application directory.

#include "component.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "change_socket_strategy.h"
#include "check_only_strategy.h"
#include "check_only_with_alternative_agent_strategy.h"
#include "informer.h"
#include "log.h"
#include "run_mode.h"
#include "standart_comp_strategy.h"
#include "file_util.h"
#include "temp_dir.h"
#include "update_comp_strategy.h"

namespace {

int openDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the directory stream itself
}

// Waits for the end of file that the death of a component's process makes.
bool waitEof(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 10000) == 1;
}

class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath_ = dir_.path() + "/monitor.log";
    initLog(logPath_, "debug", "error", "daemon", false, false);
    appDir_ = dir_.path() + "/app/";
    ASSERT_EQ(0, mkdir(appDir_.c_str(), 0755));
  }
  void TearDown() override { initLog("syslog", "info", "error", "daemon", false, false); }

  // A component whose executable is fake-component under its name.
  Component make(const std::string& name, const std::string& argv, int timeStart = 5,
                 int timeStop = 5) {
    const std::string link = appDir_ + name;
    if (access(link.c_str(), F_OK) != 0) {
      EXPECT_EQ(0, symlink(NORVAK_BIN_DIR "/tools/fake-component", link.c_str()));
    }
    Component c(name);
    c.setArgv(argv);
    c.setTimeStart(timeStart);
    c.setTimeStop(timeStop);
    c.setLogType(Component::kLogTypeLog);
    return c;
  }

  // "" on success, else the failure text; StopedHimself is reported as such.
  std::string start(Component& c, time_t faultTime = 0) {
    StandartCompStrategy s;
    try {
      c.createInformer();
      c.startStandart(s, appDir_, faultTime, 1, "Test App");
    } catch (const Component::StopedHimself& e) {
      return std::string("StopedHimself: ") + e.what();
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }

  std::string log() { return readFile(logPath_); }

  TempDir dir_;
  std::string logPath_;
  std::string appDir_;
};

TEST_F(ComponentTest, GoodAnswerStartsAndTermStops) {
  Component c = make("good", "--term=exit");
  ASSERT_EQ("", start(c));
  EXPECT_TRUE(c.running());
  EXPECT_GT(c.pid(), 0);
  std::vector<int> fds;
  EXPECT_TRUE(c.collectFd(fds));
  ASSERT_EQ(1u, fds.size());
  EXPECT_EQ(c.fd(), fds[0]);
  EXPECT_EQ(-1, c.diagFd());  // only check-all runs get the second pipe

  EXPECT_THROW(start(c), std::logic_error);

  const pid_t pid = c.pid();
  EXPECT_TRUE(c.stop(false));  // a normal exit on SIGTERM
  EXPECT_FALSE(c.running());
  EXPECT_EQ(-1, c.fd());
  EXPECT_EQ(-1, c.signalledPid());
  EXPECT_EQ(-1, kill(pid, 0));  // reaped, not a zombie
  EXPECT_FALSE(c.stop(false));
  EXPECT_NE(std::string::npos, log().find("cannot stop component \"good\": is not running"));
}

TEST_F(ComponentTest, BadAnswersGiveTheirTexts) {
  struct Case {
    const char* argv;
    int timeStart;
    const char* text;
  } cases[] = {
      {"--answer=E --term=die", 5, "component \"c\" starting error"},
      {"--answer=LF --term=die", 5, "component \"c\" stoped"},
      {"--answer=x --term=die", 5, "component \"c\" wrong answer"},
      {"--answer=close --term=die", 5, "component \"c\" wrong answer"},
      {"--answer=none --term=die", 1, "component \"c\" not answer"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.argv);
    Component c = make("c", k.argv, k.timeStart);
    EXPECT_EQ(k.text, start(c));
    EXPECT_FALSE(c.running());
    EXPECT_EQ(-1, c.fd());
    // Killing a process that never answered is no crash to recover from.
    EXPECT_EQ(-1, c.signalledPid());
  }
}

TEST_F(ComponentTest, BadAnswerFromProcessThatExitsOnTermIsStopedHimself) {
  Component c = make("c", "--answer=x --term=exit");
  EXPECT_EQ("StopedHimself: component stoped himself", start(c));
  EXPECT_FALSE(c.running());
}

TEST_F(ComponentTest, ProcessThatEndsWithoutAnswer) {
  // Whether the end is seen by checkExit or only after the stop depends on
  // timing; both outcomes are legitimate, anything else is not.
  Component quit = make("c", "--answer=none --exit-after=0");
  std::string r = start(quit);
  EXPECT_TRUE(r == "stoped untimely" || r == "StopedHimself: component stoped himself") << r;

  Component killed = make("c", "--answer=none --die-after=0 --signal=9");
  r = start(killed);
  EXPECT_TRUE(r == "signal 9 (" + std::string(strsignal(9)) + ") was catching" ||
              r == "component \"c\" wrong answer")
      << r;
  EXPECT_FALSE(killed.running());
}

TEST_F(ComponentTest, MissingExecutableReportsExecError) {
  Component c("absent");
  c.setTimeStart(5);
  std::string r = start(c);
  EXPECT_TRUE(r == "component \"absent\" starting error" || r == "stoped untimely" ||
              r == "StopedHimself: component stoped himself")
      << r;
  // The child's reason reaches the log through the parent.
  EXPECT_NE(std::string::npos,
            log().find("exec( " + appDir_ + "absent ) error: " + strerror(ENOENT)));
}

TEST_F(ComponentTest, IgnoredTermIsKilledAfterTimeStop) {
  Component c = make("stubborn", "--term=ignore", 5, 1);
  ASSERT_EQ("", start(c));
  const pid_t pid = c.pid();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(c.stop(false));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
  EXPECT_EQ(pid, c.signalledPid());
  EXPECT_NE(std::string::npos, log().find("component \"stubborn\" terminated by signal 9"));
}

TEST_F(ComponentTest, SignalledPidOnlyForSignalDeathOutsideCheckAll) {
  Component dies = make("d", "--term=die");
  ASSERT_EQ("", start(dies));
  const pid_t pid = dies.pid();
  EXPECT_FALSE(dies.stop(false));
  EXPECT_EQ(pid, dies.signalledPid());

  setRunModes(true, true);
  Component checked = make("d", "--term=die");
  std::string r = start(checked);
  EXPECT_GE(checked.diagFd(), 0);
  EXPECT_FALSE(checked.stop(false));
  EXPECT_EQ(-1, checked.diagFd());
  setRunModes(false, false);
  EXPECT_EQ("", r);
  EXPECT_EQ(-1, checked.signalledPid());
}

TEST_F(ComponentTest, FaultHandlesOnlyItsOwnPid) {
  Component crash = make("crash", "--die-after=100 --signal=9");
  ASSERT_EQ("", start(crash));
  const pid_t pid = crash.pid();
  ASSERT_TRUE(waitEof(crash.fd()));
  EXPECT_FALSE(crash.fault(pid + 100000, 1000, "App", appDir_, {}));
  EXPECT_TRUE(crash.running());
  EXPECT_FALSE(crash.fault(pid, 1000, "App", appDir_, {"Other"}));  // reported
  EXPECT_EQ(pid, crash.signalledPid());
  EXPECT_NE(std::string::npos, log().find("LogInform: Date: "));
  EXPECT_NE(std::string::npos, log().find("This could affect operation of the following "
                                          "application(s): \"Other\""));

  Component quit = make("quit", "--exit-after=100");
  ASSERT_EQ("", start(quit));
  ASSERT_TRUE(waitEof(quit.fd()));
  EXPECT_TRUE(quit.fault(quit.pid(), 1000, "App", appDir_, {}));  // stopped himself
  EXPECT_EQ(-1, quit.signalledPid());
}

TEST_F(ComponentTest, RecoveryStartSendsRecoveryReport) {
  Component c = make("rec", "");
  ASSERT_EQ("", start(c, time(nullptr) - 10));
  EXPECT_NE(std::string::npos, log().find("Subject: INFO: Component \"rec\" recovery"));
  c.stop(false);
}

TEST_F(ComponentTest, ReconfigureTakesArgvBeforePermissions) {
  Component c("c");
  c.setArgv("-a");
  c.setUser("u1");
  c.setLogType(Component::kLogTypeLog);
  c.createInformer();

  Component next("c");
  next.setArgv("-b");
  next.setUser("u2");
  next.setTimeStart(7);
  next.setLogType(Component::kLogTypeMail);
  EXPECT_TRUE(c.reconfigure(next));
  EXPECT_EQ("-b", c.argv());
  EXPECT_EQ("u1", c.user());
  EXPECT_EQ(7, c.timeStart());
  ASSERT_NE(nullptr, c.informer());
  EXPECT_EQ(Informer::MAIL, c.informer()->type());

  EXPECT_TRUE(c.reconfigure(next));
  EXPECT_EQ("u2", c.user());
  EXPECT_FALSE(c.reconfigure(next));
  EXPECT_NE(std::string::npos, log().find("component \"c\" changed parmissions \"u1:\" to \"u2:\""));
}

TEST_F(ComponentTest, StatusElement) {
  Component c("smtpd");
  c.setArgv("-d 1");
  c.setTimeStart(10);
  c.setTimeStop(20);
  c.setLogType(3);
  c.setCmd("/bin/logger");
  c.setUser("mail");
  std::string out;
  c.statusDump(true, out);
  EXPECT_EQ("<comp name=\"smtpd\" argv=\"-d 1\" start=\"10\" stop=\"20\" log=\"3\" "
            "user=\"mail:\" cmd=\"/bin/logger\" fd=\"-1\" pid=\"-1\"/>",
            out);
  Component bare("x");
  out.clear();
  bare.statusDump(false, out);
  EXPECT_EQ("<comp name=\"x\" start=\"30\" stop=\"30\" log=\"2\" user=\":\"/>", out);
}

TEST_F(ComponentTest, StrategiesAddTheirArguments) {
  const std::string argsLog = dir_.path() + "/args";
  const std::string pidFile = dir_.path() + "/agent.pid";
  Component c = make("s", "--args-log=" + argsLog + " old-agent");

  UpdateCompStrategy update;
  ChangeSocketStrategy socket("local:/tmp/x.tmp", pidFile);
  for (CompStrategy* s : std::vector<CompStrategy*>{&update, &socket}) {
    s->start(c, appDir_, 0, 0, "App");
    EXPECT_TRUE(c.running());
    c.stop(false);
  }
  EXPECT_EQ(socket.description(), "in change-socket mode");
  EXPECT_FALSE(readFile(pidFile).empty());

  // The temporary agent's address replaces the last word; a component
  // without words keeps its executable path.
  CheckOnlyWithAlternativeAgentStrategy alt("local:/tmp/x.tmp");
  std::vector<std::string> bare{"/app/s"};
  alt.addArgs(bare);
  EXPECT_EQ((std::vector<std::string>{"/app/s", "--check-only", "local:/tmp/x.tmp"}), bare);

  const std::string p = appDir_ + "s --args-log=" + argsLog;
  EXPECT_EQ(p + " old-agent --update\n" + p + " old-agent --socket local:/tmp/x.tmp --pid-file " +
                pidFile + "\n",
            readFile(argsLog));
}

TEST_F(ComponentTest, CheckOnlyDialogue) {
  std::stringstream err;
  std::streambuf* saved = std::cerr.rdbuf(err.rdbuf());
  CheckOnlyStrategy check;

  Component ok = make("ok", "");
  ok.startCheckOnly(check, appDir_);
  const bool errorAfterOk = hasCheckError();
  ok.stop(false);

  Component bad = make("bad", "'--check-output=bad one|bad two'");
  bad.startCheckOnly(check, appDir_);
  bad.stop(false);

  Component slow = make("slow", "--check-delay=5000", 1);
  slow.startCheckOnly(check, appDir_);
  slow.stop(false);

  std::cerr.rdbuf(saved);
  EXPECT_FALSE(errorAfterOk);
  EXPECT_TRUE(hasCheckError());
  EXPECT_EQ("checking \"ok\" component: OK\n"
            "checking \"bad\" component: \n    bad one\n    bad two\n"
            "checking \"slow\" component: timeout (1 sec) expired\n",
            err.str());
}

TEST_F(ComponentTest, FailedStartsLeakNoDescriptors) {
  // One component retried over and over, as the recovery schedule does;
  // every third try in check-all mode, which adds the diagnostic pipe.
  Component c = make("leak", "");
  Component good = make("good", "");
  const int before = openDescriptors();
  for (int i = 0; i < 100; ++i) {
    c.setArgv(i % 2 ? "--answer=x" : "--answer=E --term=die");
    if (i % 3 == 0) setRunModes(true, true);
    EXPECT_NE("", start(c));
    setRunModes(false, false);
  }
  EXPECT_EQ(before, openDescriptors());
  ASSERT_EQ("", start(good));
  EXPECT_EQ(before + 1, openDescriptors());  // the answer pipe, while it runs
  good.stop(false);
  EXPECT_EQ(before, openDescriptors());
}

TEST_F(ComponentTest, ForkWhileOtherThreadsLog) {
  std::atomic<bool> done(false);
  std::vector<std::thread> loggers;
  for (int t = 0; t < 3; ++t)
    loggers.emplace_back([&done] {
      while (!done) {
        logDebug("busy logger");
        std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
    });
  int started = 0;
  for (int i = 0; i < 40; ++i) {
    Component c = make("busy", "");
    if (start(c).empty()) ++started;
    c.stop(false);
  }
  done = true;
  for (std::thread& t : loggers) t.join();
  EXPECT_EQ(40, started);
}

}  // namespace
