// Application start/stop order, fault routing, signals, reconfiguration and
// the status dump, with fake-component as every component.

#include "monitor/application.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <sstream>

#include "fake_clock.h"
#include "fake_component.h"
#include "frame/process_state.h"
#include "log_file_test.h"
#include "monitor/check_only_strategy.h"
#include "monitor/standart_comp_strategy.h"
#include "recording_regenerator.h"
#include "recover_now.h"
#include "wait_util.h"

namespace {

typedef std::vector<std::string> Events;

class ApplicationTest : public StartedLogFileTest {
 protected:
  // An application in dir_/<subdir>/ whose components are fake-component.
  Application make(const std::string& subdir,
                   const std::vector<std::pair<std::string, std::string>>& comps) {
    const std::string path = dir_.path() + "/" + subdir + "/";
    mkdir(path.c_str(), 0755);
    Application app("App");
    app.setPath(path);
    app.setRegenerator(&regen_);
    for (const auto& nc : comps) app.addComponent(fakeComponent(path, nc.first, nc.second));
    return app;
  }

  RecordingRegenerator regen_;
  StandartCompStrategy standard_;
};

TEST_F(ApplicationTest, StartsInOrderStopsInReverseAndRestartKeepsRunningOnes) {
  Application app = make("ok", {{"a", ""}, {"b", ""}});
  ASSERT_TRUE(app.start(standard_));
  EXPECT_TRUE(app.isStarted());
  EXPECT_FALSE(app.hasFailedComponent());
  EXPECT_EQ(Events{"start App"}, regen_.events);

  const pid_t a = app.components()[0].pid();
  app.components()[1].stop(true);
  EXPECT_TRUE(app.start(standard_));
  EXPECT_EQ(a, app.components()[0].pid());
  EXPECT_TRUE(app.components()[1].running());

  app.stop();
  EXPECT_FALSE(app.isRunning());
  ASSERT_FALSE(regen_.events.empty());
  EXPECT_EQ("stop App", regen_.events.back());
  const size_t events = regen_.events.size();
  const std::string text = log();
  EXPECT_LT(text.find("Component::stop() # b"), text.find("Component::stop() # a"));
  EXPECT_NE(std::string::npos, text.find("application \"App\" has been stopped"));
  app.stop();  // not running: nothing more happens
  EXPECT_EQ(events, regen_.events.size());

  std::stringstream err;
  std::streambuf* saved = std::cerr.rdbuf(err.rdbuf());
  CheckOnlyStrategy check;
  const bool started = app.start(check);
  std::cerr.rdbuf(saved);
  EXPECT_TRUE(started);
  EXPECT_EQ("checking \"a\" component: OK\nchecking \"b\" component: OK\n", err.str());
  EXPECT_TRUE(
      logged("component \"b\" from application \"App\" has been started in check-only mode"));
  app.stop();
}

TEST_F(ApplicationTest, FailedComponentStopsEarlierOnesAndSkipsLater) {
  const std::string argsLog = dir_.path() + "/args";
  const std::string badLog = dir_.path() + "/bad";
  Application app = make("abc", {{"a", ""},
                                 {"b", "--answer=x --term=die --args-log=" + badLog},
                                 {"c", "--args-log=" + argsLog}});
  EXPECT_FALSE(app.start(standard_));
  EXPECT_TRUE(app.isRunning());  // the store's cascades still see it
  EXPECT_FALSE(app.components()[0].running());
  EXPECT_FALSE(app.components()[1].running());
  EXPECT_EQ(-1, app.components()[2].pid());
  EXPECT_EQ("", readFile(argsLog));
  EXPECT_EQ(1u, lineCount(readFile(badLog)));  // not tried again
  EXPECT_TRUE(regen_.events.empty());

  const std::string text = log();
  EXPECT_NE(std::string::npos, text.find("cannot start component \"b\" from application \"App\": "
                                         "component \"b\" wrong answer"));
  EXPECT_LT(text.find("Component::stop() # b"), text.find("Component::stop() # a"));

  Application quits = make("quit", {{"q", "--answer=x"}});
  EXPECT_FALSE(quits.start(standard_));
  EXPECT_TRUE(logged("component \"q\" stopped himself"));
}

// The sequence moves on only when the answer in flight arrives: no waiting
// happens inside it.
TEST_F(ApplicationTest, StartSequenceMovesOnAnswers) {
  typedef Application::StartState S;
  FakeClock clock;
  const Clock::MonoTime t0 = clock.monoNow();
  Application app = make("seq", {{"a", ""}, {"b", "--answer=x --term=die"}});
  Component& a = app.components()[0];
  Component& b = app.components()[1];
  app.beginStart(standard_);
  EXPECT_EQ(S::kActive, app.advanceStart(t0));
  ASSERT_EQ(&a, app.startInFlight());
  EXPECT_EQ(-1, b.pid());  // b waits for a's answer
  EXPECT_EQ(S::kActive, app.advanceStart(t0));
  EXPECT_EQ(-1, b.pid());

  ASSERT_TRUE(a.waitForAnswer(clock));
  EXPECT_EQ(S::kActive, app.answerArrived(a, false, t0));
  EXPECT_TRUE(a.running());
  ASSERT_EQ(&b, app.startInFlight());
  ASSERT_TRUE(b.waitForAnswer(clock));
  EXPECT_EQ(S::kFailed, app.answerArrived(b, false, t0));  // wrong answer
  EXPECT_FALSE(a.running());  // what had started is stopped again
  EXPECT_TRUE(regen_.events.empty());
}

TEST_F(ApplicationTest, FaultRecoveryAndCannotRecover) {
  Application app = make("f", {{"x", ""}, {"y", ""}});
  ASSERT_TRUE(app.start(standard_));
  Component& y = app.components()[1];
  const pid_t pid = y.pid();
  kill(pid, SIGKILL);
  struct pollfd p = {y.fd(), POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 10000));

  EXPECT_TRUE(app.componentFault(y, 1000, {"Dep"}));
  EXPECT_TRUE(app.hasFailedComponent());
  EXPECT_EQ(pid, y.signalledPid());
  EXPECT_TRUE(app.components()[0].running());
  EXPECT_TRUE(logged("ERROR: Component \"y\" failed"));

  ASSERT_TRUE(recoverNow(app, y, time(nullptr) - 5));
  EXPECT_TRUE(y.running());
  EXPECT_NE(pid, y.pid());
  EXPECT_TRUE(logged("INFO: Component \"y\" recovery"));

  app.cannotRecover(y, 1000, {});
  EXPECT_TRUE(logged("cannot recovery component y"));

  app.stop();
  EXPECT_FALSE(app.componentFault(y, 1000, {}));  // a stopped application handles nothing
}

TEST_F(ApplicationTest, SignalsReachListedComponents) {
  const std::string hupA = dir_.path() + "/hup-a";
  const std::string hupB = dir_.path() + "/hup-b";
  Application app = make("sig", {{"a", "--hup-log=" + hupA}, {"b", "--hup-log=" + hupB}});
  ASSERT_TRUE(app.start(standard_));
  const std::string huppedA = "HUP " + std::to_string(app.components()[0].pid()) + "\n";

  app.signalPids({app.components()[0].pid()}, SIGHUP);
  // Two SIGHUPs pending at once would merge into one.
  ASSERT_TRUE(waitForLines(hupA, 1));
  EXPECT_EQ(huppedA, readFile(hupA));
  app.sendSignal(SIGHUP);
  EXPECT_TRUE(waitForLines(hupA, 2));
  EXPECT_TRUE(waitForLines(hupB, 1));
  app.stop();
  EXPECT_EQ(huppedA + huppedA, readFile(hupA));
  EXPECT_EQ(1u, lineCount(readFile(hupB)));
}

TEST_F(ApplicationTest, Reconfiguration) {
  Application app = make("r1", {{"keep", ""}, {"gone", ""}});
  ASSERT_TRUE(app.start(standard_));
  const pid_t keepPid = app.components()[0].pid();

  // Full name alone: taken, nothing restarted.
  Application renamed(app);
  renamed.setFullName("New name");
  EXPECT_FALSE(app.reconfig(renamed));
  EXPECT_FALSE(app.needsStart());
  EXPECT_EQ("New name", app.fullName());
  EXPECT_EQ(keepPid, app.components()[0].pid());

  // Components: one dropped, one added, one with new arguments.
  Application next = make("r1", {{"keep", "-v"}, {"fresh", ""}});
  next.addDependency("Base");
  EXPECT_TRUE(app.reconfig(next));
  ASSERT_EQ(2u, app.components().size());
  EXPECT_EQ("-v", app.components()[0].argv());
  EXPECT_EQ(keepPid, app.components()[0].pid());
  EXPECT_EQ("fresh", app.components()[1].name());
  // The new component is left to a start sequence, which keeps the others.
  EXPECT_TRUE(app.needsStart());
  EXPECT_FALSE(app.components()[1].running());
  ASSERT_TRUE(app.start(standard_));
  EXPECT_TRUE(app.components()[1].running());
  EXPECT_EQ(keepPid, app.components()[0].pid());
  EXPECT_TRUE(app.dependsOn("BASE"));
  EXPECT_TRUE(logged("component \"gone\" from application \"App\" must be deleted"));
  EXPECT_TRUE(logged("application \"App\" now depends on \"Base\""));

  // A new path restarts everything from the new definition.
  EXPECT_TRUE(app.reconfig(make("r2", {{"other", ""}})));
  ASSERT_EQ(1u, app.components().size());
  EXPECT_FALSE(app.isRunning());
  EXPECT_TRUE(app.needsStart());
  ASSERT_TRUE(app.start(standard_));
  EXPECT_TRUE(app.components()[0].running());
  EXPECT_EQ(dir_.path() + "/r2/", app.path());
  app.stop();
}

TEST_F(ApplicationTest, StatusDump) {
  Application app("Mail");
  app.setFullName("Mail daemon");
  app.setPath("/opt/mail/");
  app.addDependency("b");
  app.addDependency("A");
  Component c("smtpd");
  c.setUser("mail");
  c.setGroup("mail");
  app.addComponent(c);
  std::string out;
  app.statusDump(false, out);
  EXPECT_EQ(
      "<app name=\"Mail\"\nfullName=\"Mail daemon\"\npath=\"/opt/mail/\"\ndeps=\"A,b\">"
      "<comps><comp name=\"smtpd\" start=\"30\" stop=\"30\" log=\"2\" user=\"mail:mail\"/>"
      "</comps></app>",
      out);
  out.clear();
  Application("E").statusDump(true, out);
  EXPECT_EQ("<app name=\"E\"\nfullName=\"\"\npath=\"\"\ndeps=\"\"><comps></comps></app>", out);
}

}  // namespace
