// Application start/stop order, fault routing, signals, reconfiguration and
// the status dump, with fake-component as every component.

#include "application.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "check_only_strategy.h"
#include "log.h"
#include "process_state.h"
#include "regenerator.h"
#include "standart_comp_strategy.h"
#include "file_util.h"
#include "temp_dir.h"

namespace {

class TestRegenerator : public Regenerator {
 public:
  bool regenerate(const AppNameSet&) override {
    ++regenerated;
    return false;
  }
  void appStarted(const Application& app) override { events += "started " + app.name() + ";"; }
  void appStopped(const Application& app) override { events += "stopped " + app.name() + ";"; }

  int regenerated = 0;
  std::string events;
};

class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath_ = dir_.path() + "/monitor.log";
    initLog(logPath_, "debug", "error", "daemon", false, false);
    setProcessState(STARTED);
  }
  void TearDown() override {
    setProcessState(INIT);
    initLog("syslog", "info", "error", "daemon", false, false);
  }

  // An application in dir_/<subdir>/ whose components are fake-component.
  Application make(const std::string& subdir, const std::vector<std::pair<std::string, std::string>>& comps) {
    const std::string path = dir_.path() + "/" + subdir + "/";
    mkdir(path.c_str(), 0755);
    Application app("App");
    app.setFullName("Test application");
    app.setPath(path);
    app.setRegenerator(&regen_);
    for (const auto& nc : comps) {
      const std::string link = path + nc.first;
      if (access(link.c_str(), F_OK) != 0) {
        EXPECT_EQ(0, symlink(NORVAK_BIN_DIR "/tools/fake-component", link.c_str()));
      }
      Component c(nc.first);
      c.setArgv(nc.second);
      c.setTimeStart(5);
      c.setTimeStop(5);
      c.setLogType(Component::kLogTypeLog);
      app.addComponent(std::move(c));
    }
    return app;
  }

  std::string log() { return readFile(logPath_); }

  TempDir dir_;
  std::string logPath_;
  TestRegenerator regen_;
};

TEST_F(ApplicationTest, StartsInOrderAndStopsInReverse) {
  Application app = make("ok", {{"a", ""}, {"b", ""}});
  StandartCompStrategy s;
  ASSERT_TRUE(app.start({}, s));
  EXPECT_TRUE(app.isRunning());
  EXPECT_TRUE(app.isStarted());
  EXPECT_FALSE(app.hasFailedComponent());
  EXPECT_EQ(2, regen_.regenerated);
  EXPECT_EQ("started App;", regen_.events);

  std::vector<int> fds;
  app.appendFds(fds);
  ASSERT_EQ(2u, fds.size());
  EXPECT_EQ(app.components()[1].pid(), app.pidByFd(fds[1]));
  EXPECT_EQ(-1, app.pidByFd(-5));

  app.stop();
  EXPECT_FALSE(app.isRunning());
  EXPECT_EQ("started App;stopped App;", regen_.events);
  const std::string text = log();
  EXPECT_LT(text.find("Component::stop() # b"), text.find("Component::stop() # a"));
  EXPECT_NE(std::string::npos, text.find("application \"App\" has been stopped"));

  app.stop();  // not running: nothing more happens
  EXPECT_EQ("started App;stopped App;", regen_.events);
}

TEST_F(ApplicationTest, RestartKeepsRunningComponentsAndStrategyPicksDialogue) {
  Application app = make("again", {{"a", ""}, {"b", ""}});
  StandartCompStrategy s;
  ASSERT_TRUE(app.start({}, s));
  const pid_t a = app.components()[0].pid();
  app.components()[1].stop(true);
  EXPECT_TRUE(app.start({}, s));
  EXPECT_EQ(a, app.components()[0].pid());
  EXPECT_TRUE(app.components()[1].running());
  app.stop();

  std::stringstream err;
  std::streambuf* saved = std::cerr.rdbuf(err.rdbuf());
  CheckOnlyStrategy check;
  const bool started = app.start({}, check);
  std::cerr.rdbuf(saved);
  EXPECT_TRUE(started);
  EXPECT_EQ("checking \"a\" component: OK\nchecking \"b\" component: OK\n", err.str());
  EXPECT_NE(std::string::npos,
            log().find("component \"b\" from application \"App\" has been started in "
                       "check-only mode"));
  app.stop();
}

TEST_F(ApplicationTest, FailedComponentStopsEarlierOnesAndSkipsLater) {
  const std::string argsLog = dir_.path() + "/args";
  Application app = make("abc", {{"a", ""},
                                  {"b", "--answer=x --term=die"},
                                  {"c", "--args-log=" + argsLog}});
  StandartCompStrategy s;
  EXPECT_FALSE(app.start({}, s));
  EXPECT_TRUE(app.isRunning());  // the store's cascades still see it
  EXPECT_FALSE(app.components()[0].running());
  EXPECT_FALSE(app.components()[1].running());
  EXPECT_EQ(-1, app.components()[2].pid());
  EXPECT_EQ("", readFile(argsLog));
  EXPECT_EQ("", regen_.events);

  const std::string text = log();
  EXPECT_NE(std::string::npos,
            text.find("cannot start component \"b\" from application \"App\": "
                      "component \"b\" wrong answer"));
  EXPECT_LT(text.find("Component::stop() # b"), text.find("Component::stop() # a"));
}

TEST_F(ApplicationTest, RetriesAfterDelaysAndSleepEndsOnStop) {
  const std::string argsLog = dir_.path() + "/args";
  Application app = make("retry", {{"r", "--answer=x --term=die --args-log=" + argsLog}});
  StandartCompStrategy s;
  EXPECT_FALSE(app.start({0, 1}, s));
  std::string tries = readFile(argsLog);
  EXPECT_EQ(3, std::count(tries.begin(), tries.end(), '\n'));

  // A program that ends by itself is not tried again.
  const std::string quitLog = dir_.path() + "/quit";
  Application quits = make("retry", {{"q", "--answer=x --args-log=" + quitLog}});
  EXPECT_FALSE(quits.start({0, 0}, s));
  tries = readFile(quitLog);
  EXPECT_EQ(1, std::count(tries.begin(), tries.end(), '\n'));
  EXPECT_NE(std::string::npos, log().find("component \"q\" stopped himself"));

  // A stop request must cut a long retry sleep short.
  Application slow = make("retry", {{"r", "--answer=x --term=die"}});
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    setProcessState(STOPPED);
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(slow.start({60}, s));
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
}

TEST_F(ApplicationTest, FaultRecoveryAndCannotRecover) {
  Application app = make("f", {{"x", ""}, {"y", ""}});
  StandartCompStrategy s;
  ASSERT_TRUE(app.start({}, s));
  Component& y = app.components()[1];
  const pid_t pid = y.pid();
  kill(pid, SIGKILL);
  struct pollfd p = {y.fd(), POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 10000));

  EXPECT_FALSE(app.componentFault(pid + 100000, 1000, {}));
  EXPECT_TRUE(app.componentFault(pid, 1000, {"Dep"}));
  EXPECT_TRUE(app.hasFailedComponent());
  EXPECT_TRUE(app.hasSignalledPid(pid));
  EXPECT_NE(std::string::npos, log().find("ERROR: Component \"y\" failed"));

  ASSERT_TRUE(app.recovery(pid, time(nullptr) - 5, 1));
  EXPECT_TRUE(y.running());
  EXPECT_NE(pid, y.pid());
  EXPECT_NE(std::string::npos, log().find("INFO: Component \"y\" recovery"));

  EXPECT_TRUE(app.cannotRecover(y.pid(), 1000));
  EXPECT_FALSE(app.cannotRecover(pid + 100000, 1000));
  EXPECT_NE(std::string::npos, log().find("cannot recovery component y"));

  app.stop();
  EXPECT_FALSE(app.componentFault(y.pid(), 1000, {}));  // a stopped application handles nothing
}

TEST_F(ApplicationTest, SignalsReachListedComponents) {
  const std::string hupA = dir_.path() + "/hup-a";
  const std::string hupB = dir_.path() + "/hup-b";
  Application app = make("sig", {{"a", "--hup-log=" + hupA}, {"b", "--hup-log=" + hupB}});
  StandartCompStrategy s;
  ASSERT_TRUE(app.start({}, s));
  const pid_t pa = app.components()[0].pid();

  auto wait = [](const std::string& path, size_t lines) {
    for (int i = 0; i < 500; ++i) {
      std::string t = readFile(path);
      if (static_cast<size_t>(std::count(t.begin(), t.end(), '\n')) >= lines) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  };
  app.signalPids({pa}, SIGHUP);
  // Two SIGHUPs pending at once would merge into one.
  ASSERT_TRUE(wait(hupA, 1));
  EXPECT_EQ("HUP " + std::to_string(pa) + "\n", readFile(hupA));
  app.sendSignal(SIGHUP);
  EXPECT_TRUE(wait(hupA, 2));
  EXPECT_TRUE(wait(hupB, 1));
  app.stop();
  EXPECT_EQ(std::string("HUP ") + std::to_string(pa) + "\nHUP " + std::to_string(pa) + "\n",
            readFile(hupA));
  const std::string b = readFile(hupB);
  EXPECT_EQ(1, std::count(b.begin(), b.end(), '\n'));
}

TEST_F(ApplicationTest, Reconfiguration) {
  Application app = make("r1", {{"keep", ""}, {"gone", ""}});
  StandartCompStrategy s;
  ASSERT_TRUE(app.start({}, s));
  const pid_t keepPid = app.components()[0].pid();

  // Full name alone: taken, nothing restarted.
  Application renamed(app);
  renamed.setFullName("New name");
  EXPECT_FALSE(app.reconfig(renamed, {}));
  EXPECT_EQ("New name", app.fullName());
  EXPECT_EQ(keepPid, app.components()[0].pid());

  // Components: one dropped, one added, one with new arguments.
  Application next = make("r1", {{"keep", "-v"}, {"fresh", ""}});
  next.addDependency("Base");
  EXPECT_TRUE(app.reconfig(next, {}));
  ASSERT_EQ(2u, app.components().size());
  EXPECT_EQ("keep", app.components()[0].name());
  EXPECT_EQ("-v", app.components()[0].argv());
  EXPECT_EQ(keepPid, app.components()[0].pid());
  EXPECT_EQ("fresh", app.components()[1].name());
  EXPECT_TRUE(app.components()[1].running());
  EXPECT_TRUE(app.dependsOn("BASE"));
  const std::string text = log();
  EXPECT_NE(std::string::npos, text.find("component \"gone\" from application \"App\" must be deleted"));
  EXPECT_NE(std::string::npos, text.find("application \"App\" now depends on \"Base\""));

  // A new path restarts everything from the new definition.
  Application moved = make("r2", {{"other", ""}});
  EXPECT_TRUE(app.reconfig(moved, {}));
  ASSERT_EQ(1u, app.components().size());
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
  EXPECT_EQ("<app name=\"Mail\"\nfullName=\"Mail daemon\"\npath=\"/opt/mail/\"\ndeps=\"A,b\">"
            "<comps><comp name=\"smtpd\" start=\"30\" stop=\"30\" log=\"2\" user=\"mail:mail\"/>"
            "</comps></app>",
            out);

  Application empty("E");
  out.clear();
  empty.statusDump(true, out);
  EXPECT_EQ("<app name=\"E\"\nfullName=\"\"\npath=\"\"\ndeps=\"\"><comps></comps></app>", out);
}

}  // namespace
