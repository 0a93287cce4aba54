// Component start, answers, stop and signals, against real child processes:
// fake-component placed under the component's name in a temporary
// application directory.

#include "monitor/component.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

#include "fake_component.h"
#include "frame/run_mode.h"
#include "log_file_test.h"
#include "monitor/change_socket_strategy.h"
#include "monitor/check_only_strategy.h"
#include "monitor/check_only_with_alternative_agent_strategy.h"
#include "monitor/standart_comp_strategy.h"
#include "monitor/update_comp_strategy.h"
#include "notify/informer.h"
#include "proc_util.h"

namespace {

// Waits for the end of file that the death of a component's process makes.
bool waitEof(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 10000) == 1;
}

class ComponentTest : public LogFileTest {
 protected:
  void SetUp() override {
    LogFileTest::SetUp();
    ASSERT_EQ(0, mkdir(appDir_.c_str(), 0755));
  }

  Component make(const std::string& name, const std::string& argv, int timeStart = 5,
                 int timeStop = 5) {
    return fakeComponent(appDir_, name, argv, timeStart, timeStop);
  }

  // "" on success, else the failure text; StopedHimself is reported as such.
  std::string start(Component& c, time_t faultTime = 0) {
    StandartCompStrategy s;
    try {
      c.createInformer();
      c.startStandart(s, appDir_, faultTime, "Test App");
    } catch (const Component::StopedHimself& e) {
      return std::string("StopedHimself: ") + e.what();
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }

  std::string appDir_ = dir_.path() + "/app/";
};

TEST_F(ComponentTest, GoodAnswerStartsAndTermStops) {
  Component c = make("good", "--term=exit");
  ASSERT_EQ("", start(c));
  EXPECT_TRUE(c.running());
  EXPECT_EQ(-1, c.diagFd());  // only check-all runs get the second pipe
  EXPECT_THROW(start(c), std::logic_error);

  const pid_t pid = c.pid();
  EXPECT_TRUE(c.stop(false));  // a normal exit on SIGTERM
  EXPECT_FALSE(c.running());
  EXPECT_EQ(-1, c.fd());
  EXPECT_EQ(-1, c.signalledPid());
  EXPECT_EQ(-1, kill(pid, 0));  // reaped, not a zombie
  EXPECT_FALSE(c.stop(false));
  EXPECT_TRUE(logged("cannot stop component \"good\": is not running"));
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
      // The same bad answer from a process that exits on the stop's SIGTERM.
      {"--answer=x --term=exit", 5, "StopedHimself: component stoped himself"},
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

TEST_F(ComponentTest, ProcessThatEndsWithoutAnswerOrCannotStart) {
  // Whether the end is seen by checkExit or only after the stop depends on
  // timing; both outcomes are legitimate, anything else is not.
  const std::string himself = "StopedHimself: component stoped himself";
  Component quit = make("c", "--answer=none --exit-after=0");
  std::string r = start(quit);
  EXPECT_TRUE(r == "stoped untimely" || r == himself) << r;

  Component killed = make("c", "--answer=none --die-after=0 --signal=9");
  r = start(killed);
  EXPECT_TRUE(r == "signal 9 (" + std::string(strsignal(9)) + ") was catching" ||
              r == "component \"c\" wrong answer")
      << r;
  EXPECT_FALSE(killed.running());

  Component absent("absent");
  absent.setTimeStart(5);
  r = start(absent);
  EXPECT_TRUE(r == "component \"absent\" starting error" || r == "stoped untimely" || r == himself)
      << r;
  // The child's reason reaches the log through the parent.
  EXPECT_TRUE(logged("exec( " + appDir_ + "absent ) error: " + strerror(ENOENT)));
}

TEST_F(ComponentTest, SignalDeathsOnStop) {
  Component stubborn = make("stubborn", "--term=ignore", 5, 1);
  ASSERT_EQ("", start(stubborn));
  pid_t pid = stubborn.pid();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(stubborn.stop(false));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
  EXPECT_EQ(pid, stubborn.signalledPid());
  EXPECT_TRUE(logged("component \"stubborn\" terminated by signal 9"));

  Component dies = make("d", "--term=die");
  ASSERT_EQ("", start(dies));
  pid = dies.pid();
  EXPECT_FALSE(dies.stop(false));
  EXPECT_EQ(pid, dies.signalledPid());

  // Check-all runs report nothing for recovery.
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

TEST_F(ComponentTest, FaultReportsOnlyDeathsBySignal) {
  Component crash = make("crash", "--die-after=100 --signal=9");
  ASSERT_EQ("", start(crash));
  const pid_t pid = crash.pid();
  ASSERT_TRUE(waitEof(crash.fd()));
  EXPECT_FALSE(crash.fault(1000, "App", appDir_, {"Other"}));  // reported
  EXPECT_FALSE(crash.running());
  EXPECT_EQ(pid, crash.signalledPid());
  EXPECT_TRUE(logged("LogInform: Date: "));
  EXPECT_TRUE(logged("This could affect operation of the following application(s): \"Other\""));

  Component quit = make("quit", "--exit-after=100");
  ASSERT_EQ("", start(quit));
  ASSERT_TRUE(waitEof(quit.fd()));
  EXPECT_TRUE(quit.fault(1000, "App", appDir_, {}));  // stopped himself
  EXPECT_EQ(-1, quit.signalledPid());

  // A start with a fault time behind it is a recovery and says so.
  Component rec = make("rec", "");
  ASSERT_EQ("", start(rec, time(nullptr) - 10));
  EXPECT_TRUE(logged("Subject: INFO: Component \"rec\" recovery"));
  rec.stop(false);
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
  EXPECT_TRUE(logged("component \"c\" changed parmissions \"u1:\" to \"u2:\""));
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
  EXPECT_EQ(
      "<comp name=\"smtpd\" argv=\"-d 1\" start=\"10\" stop=\"20\" log=\"3\" "
      "user=\"mail:\" cmd=\"/bin/logger\" fd=\"-1\" pid=\"-1\"/>",
      out);
}

TEST_F(ComponentTest, StrategiesAddTheirArguments) {
  const std::string argsLog = dir_.path() + "/args";
  const std::string pidFile = dir_.path() + "/agent.pid";
  Component c = make("s", "--args-log=" + argsLog + " old-agent");

  UpdateCompStrategy update;
  ChangeSocketStrategy socket("local:/tmp/x.tmp", pidFile);
  for (CompStrategy* s : std::vector<CompStrategy*>{&update, &socket}) {
    s->start(c, appDir_, 0, "App");
    EXPECT_TRUE(c.running());
    if (s == &socket) {
      EXPECT_EQ(std::to_string(c.pid()) + "\n", readFile(pidFile));
    }
    c.stop(false);
  }
  EXPECT_EQ(socket.description(), "in change-socket mode");

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
  bool errorAfterOk = false;
  for (const auto& nc :
       std::vector<std::pair<std::string, std::string>>{{"ok", ""},
                                                        {"bad", "'--check-output=bad one|bad two'"},
                                                        {"slow", "--check-delay=5000"}}) {
    Component c = make(nc.first, nc.second, nc.first == "slow" ? 1 : 5);
    c.startCheckOnly(check, appDir_);
    if (nc.first == "ok") errorAfterOk = hasCheckError();
    c.stop(false);
  }
  std::cerr.rdbuf(saved);
  EXPECT_FALSE(errorAfterOk);
  EXPECT_TRUE(hasCheckError());
  EXPECT_EQ(
      "checking \"ok\" component: OK\n"
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
  // The answer pipe, the standard-error pipe and the pidfd, while it runs.
  EXPECT_EQ(before + 2 + (good.pidfd() >= 0 ? 1 : 0), openDescriptors());
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

// A program's death is seen through its process, also while a helper it
// started still holds its standard output open.
TEST_F(ComponentTest, DeathIsSeenWhileADescendantHoldsThePipe) {
  const std::string holderPid = dir_.path() + "/holder.pid";
  writeScript(appDir_ + "parent",
              "printf ' '\nsleep 60 &\necho $! > " + holderPid + "\nsleep 0.2\nkill -SEGV $$\n");
  Component c("parent");
  ASSERT_EQ("", start(c));
  if (c.pidfd() < 0) GTEST_SKIP() << "no pidfd on this kernel";
  struct pollfd p[2] = {{c.pidfd(), POLLIN, 0}, {c.fd(), POLLIN, 0}};
  ASSERT_EQ(1, poll(&p[0], 1, 10000));
  EXPECT_TRUE(c.processEnded());
  EXPECT_EQ(0, poll(&p[1], 1, 0));  // no end of file: the helper keeps the pipe
  EXPECT_FALSE(c.fault(1000, "App", appDir_, {}));
  EXPECT_EQ(c.pid(), c.signalledPid());
  const pid_t holder = std::stoi(readFile(holderPid));
  kill(holder, SIGKILL);
}

// A program that floods its standard output after its answer is read in
// bounded slices: past the budget the pipe is left alone for a while.
TEST_F(ComponentTest, OutputAfterTheAnswerIsReadWithinABudget) {
  writeScript(appDir_ + "chatty", "printf ' '\nexec yes\n");
  Component c("chatty");
  ASSERT_EQ("", start(c));
  const Clock::MonoTime t0 = Clock::system().monoNow();
  Clock::MonoTime resume;
  EXPECT_FALSE(c.process()->outputPaused(t0, resume));
  for (int i = 0; i < 1000 && !c.process()->outputPaused(t0, resume); ++i) {
    struct pollfd p = {c.fd(), POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 10000));
    EXPECT_FALSE(c.process()->drainOutput(t0));
  }
  ASSERT_TRUE(c.process()->outputPaused(t0, resume));
  EXPECT_GT(resume, t0);
  EXPECT_FALSE(c.process()->outputPaused(resume, resume));  // a new period, a new budget
  c.stop(false);
  EXPECT_FALSE(c.running());
}

// Reads both output pipes at the time now until standard output has ended
// (when expected) and standard error is closed.
void drainUntilClosed(Component& c, Clock::MonoTime now, bool waitStdoutEnd) {
  bool outEnded = !waitStdoutEnd;
  for (int i = 0; i < 10000 && !(outEnded && c.errorFd() < 0); ++i) {
    std::vector<struct pollfd> p;
    if (!outEnded) p.push_back({c.fd(), POLLIN, 0});
    if (c.errorFd() >= 0) p.push_back({c.errorFd(), POLLIN, 0});
    ASSERT_GT(poll(p.data(), p.size(), 10000), 0) << "output pipes idle for 10 s";
    if (!outEnded) outEnded = c.process()->drainOutput(now);
    c.process()->drainError(now);
  }
  ASSERT_TRUE(outEnded);
  ASSERT_EQ(-1, c.errorFd());
}

TEST_F(ComponentTest, OutputAfterTheAnswerAndStandardErrorAreLoggedLineByLine) {
  writeScript(appDir_ + "talk",
              "printf ' '\n"
              "printf 'out one\\nout '\n"
              "echo 'err one' >&2\n"
              "printf 'err two\\r\\n' >&2\n"
              "head -c 5000 /dev/zero | tr '\\000' x >&2\n"
              "printf '\\nerr three\\nerr tail' >&2\n"
              "printf 'two\\nout tail'\n"
              "exec >&- 2>&-\n"
              "exec sleep 30\n");
  Component c("talk");
  ASSERT_EQ("", start(c));
  ASSERT_GE(c.errorFd(), 0);
  drainUntilClosed(c, Clock::system().monoNow(), true);
  EXPECT_TRUE(c.running()) << "the end of the pipes is no stop";

  const std::string text = log();
  for (const char* line : {"out one", "out two", "out tail", "err one", "err two", "err three",
                           "err tail"}) {
    EXPECT_NE(text.find("component \"talk\": " + std::string(line) + "\n"), std::string::npos)
        << line << "\n" << text;
  }
  // The overlong line is one record, cut; its rest does not make more.
  size_t records = 0;
  for (size_t at = text.find("\"talk\": xxx"); at != std::string::npos;
       at = text.find("\"talk\": xxx", at + 1))
    ++records;
  EXPECT_EQ(1u, records);
  EXPECT_EQ(std::string::npos, text.find(std::string(1100, 'x')));
  c.stop(false);
}

TEST_F(ComponentTest, StandardErrorLeftInThePipeIsLoggedAtTheStop) {
  writeScript(appDir_ + "quiet", "printf 'first\\nlast words' >&2\nprintf ' '\nexec sleep 30\n");
  Component c("quiet");
  ASSERT_EQ("", start(c));
  c.stop(false);
  EXPECT_EQ(-1, c.errorFd());
  EXPECT_TRUE(logged("component \"quiet\": first\n"));
  EXPECT_TRUE(logged("component \"quiet\": last words\n"));

  // The component keeps them across its next start, for `logs`.
  ASSERT_EQ("", start(c));
  c.stop(false);
  std::vector<std::string> kept;
  for (size_t i = 0; i < c.output().size(); ++i) {
    EXPECT_EQ(OutputRing::Stream::kErr, c.output().at(i).stream);
    kept.push_back(c.output().at(i).text);
  }
  EXPECT_EQ((std::vector<std::string>{"first", "last words", "first", "last words"}), kept);
}

TEST_F(ComponentTest, FloodOfLinesIsCutToABurstAndCounted) {
  writeScript(appDir_ + "chatty", "printf ' '\nseq 1 10000 >&2\nexec 2>&-\nexec sleep 30\n");
  Component c("chatty");
  ASSERT_EQ("", start(c));
  // One instant for all reads: the whole flood falls within one second,
  // however slow the machine.
  const Clock::MonoTime t0 = Clock::system().monoNow();
  drainUntilClosed(c, t0, false);
  EXPECT_TRUE(logged("component \"chatty\": 1\n"));
  EXPECT_TRUE(logged("component \"chatty\": 100\n"));
  EXPECT_FALSE(logged("component \"chatty\": 101\n"));
  EXPECT_FALSE(logged("suppressed"));  // not before the second is over

  Clock::MonoTime due;
  ASSERT_TRUE(c.process()->outputReportDue(due));
  EXPECT_LE(due, t0 + std::chrono::seconds(1));
  c.process()->reportSuppressed(due - std::chrono::milliseconds(1));
  EXPECT_FALSE(logged("suppressed"));
  c.process()->reportSuppressed(due);
  EXPECT_TRUE(logged("component \"chatty\": 9900 lines suppressed\n")) << log();
  // The ring has every line, not only the logged ones.
  EXPECT_EQ("9001", c.output().at(0).text);
  EXPECT_EQ("10000", c.output().at(999).text);
  EXPECT_FALSE(c.process()->outputReportDue(due));
  c.stop(false);
  EXPECT_FALSE(logged("component \"chatty\": 0 lines suppressed"));
}

}  // namespace
