#include "monitor/app_store.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "fake_component.h"
#include "frame/process_state.h"
#include "log_file_test.h"
#include "monitor/application.h"
#include "monitor/component.h"
#include "monitor/standart_comp_strategy.h"
#include "recording_regenerator.h"
#include "recover_now.h"
#include "thrown_text.h"
#include "wait_util.h"

namespace {

typedef std::vector<std::string> Events;

class AppStoreTest : public StartedLogFileTest {
 protected:
  void TearDown() override {
    setProcessState(STARTED);
    if (store_) store_->stop();
    StartedLogFileTest::TearDown();
  }

  AppStore& store(bool updateMode = false) {
    if (!store_) {
      store_.reset(new AppStore(updateMode));
      store_->setRegenerator(&regen_);
    }
    return *store_;
  }

  // An application of one fake component (NAME-c) in its own directory.
  std::shared_ptr<Application> define(const std::string& name,
                                      const std::vector<std::string>& deps,
                                      const std::string& argv = "") {
    std::string dir = dir_.path() + "/" + name + "/";
    mkdir(dir.c_str(), 0755);
    auto app = std::make_shared<Application>(name);
    app->setPath(dir);
    for (const std::string& d : deps) app->addDependency(d);
    app->addComponent(fakeComponent(dir, name + "-c",
                                    "--args-log=" + dir_.path() + "/args.log --hup-log=" +
                                        hupLog() + " " + argv,
                                    20, 10));
    EXPECT_TRUE(store().add(app));
    return app;
  }

  // Kills the application's process and reports the fault as the main loop
  // does on the end of file.
  void crash(const std::shared_ptr<Application>& app) {
    Component& comp = app->components().front();
    const pid_t pid = comp.pid();
    ASSERT_EQ(0, kill(pid, SIGKILL));
    EXPECT_TRUE(store().componentFault(*app, comp, time(nullptr)));
    EXPECT_EQ(pid, comp.signalledPid());
  }

  std::string hupLog() const { return dir_.path() + "/hup.log"; }
  static pid_t pidOf(const std::shared_ptr<Application>& app) {
    return app->components().front().pid();
  }

  RecordingRegenerator regen_;
  std::unique_ptr<AppStore> store_;
  StandartCompStrategy strategy_;
};

TEST_F(AppStoreTest, StartsDependenciesFirstAndStopsDependentsFirst) {
  // Load order against dependency order, and no start() to build the index.
  define("C", {});
  define("B", {"c"});
  define("A", {"B"});
  ASSERT_TRUE(store().startApp("A", strategy_));
  EXPECT_EQ((Events{"start C", "start B", "start A"}), regen_.events);
  EXPECT_EQ((AppNameSet{"A", "B", "C"}), store().startedNames());
  EXPECT_EQ(store().find("a"), store().find("A"));
  EXPECT_FALSE(store().add(std::make_shared<Application>("b")));

  regen_.events.clear();
  store().stop();
  EXPECT_EQ((Events{"stop A", "stop B", "stop C"}), regen_.events);
  EXPECT_EQ(0, store().runningCount());

  // A shared dependency starts once.
  regen_.events.clear();
  store().start({"a", "B"}, "", "");
  EXPECT_EQ((Events{"start C", "start B", "start A"}), regen_.events);
}

TEST_F(AppStoreTest, DestroyingARunningStoreLeavesNoProcess) {
  auto a = define("A", {"B"});
  auto b = define("B", {});
  store().start({"A"}, "", "");
  const pid_t pids[] = {pidOf(a), pidOf(b)};
  regen_.events.clear();
  store_.reset();
  EXPECT_TRUE(regen_.events.empty());
  for (pid_t pid : pids) EXPECT_EQ(-1, kill(pid, 0));
}

TEST_F(AppStoreTest, UpdateModeStartsOnlyTheAgent) {
  store(true);
  define("AGENT", {});
  define("MAILD", {"AGENT"});
  store().start({"AGENT", "MAILD"}, "", "");
  EXPECT_EQ((Events{"start AGENT"}), regen_.events);
  EXPECT_NE(std::string::npos, readFile(dir_.path() + "/args.log").find("--update"));
}

TEST_F(AppStoreTest, StartFailuresAndBadNames) {
  define("A", {"B"});
  define("B", {}, "--answer=E");
  EXPECT_FALSE(store().startApp("A", strategy_));
  EXPECT_TRUE(logged("application \"A\" cannot start, because of depends application \"B\" "
                     "not started"));
  EXPECT_TRUE(regen_.events.empty());

  EXPECT_EQ("bad application name \"nope\"", thrownText<AppStore::BadAppName>([&] {
              store().startApp("nope", strategy_);
            }));
  setProcessState(STOPPED);
  EXPECT_THROW(store().startApp("A", strategy_), AppStore::StartError);
  setProcessState(STARTED);

  // A cycle that escaped verification ends the start instead of the stack.
  define("X", {"Y"});
  define("Y", {"X"});
  EXPECT_FALSE(store().startApp("X", strategy_));
}

TEST_F(AppStoreTest, FaultyApplicationsStopDependenciesOutsideTheRunSet) {
  auto a = define("A", {"B"});
  define("B", {});
  auto c = define("C", {"D"});
  define("D", {});
  store().start({"A", "C"}, "", "");
  crash(a);
  crash(c);
  regen_.events.clear();
  store().stopFaultyApps({"A", "C", "D"});
  EXPECT_EQ((Events{"stop A", "stop B", "stop C"}), regen_.events);
  EXPECT_TRUE(logged("one component from application A is fault. The application will be stoped"));
  EXPECT_TRUE(logged("application B going to stop, because no one application depend on it now"));
  EXPECT_FALSE(logged("application D going to stop"));
}

// Starts are queued and moved on by whoever waits for the answers: nothing
// in planStart or advanceStarts blocks on a component.
TEST_F(AppStoreTest, QueuedStartsWaitForAnswersInDependencyOrder) {
  auto a = define("A", {}, "--answer-delay=2000");
  auto b = define("B", {"A"});
  store().planStart({"B"}, false);
  EXPECT_TRUE(store().startsPending());
  ASSERT_TRUE(a->components().front().starting());   // the dependency goes first
  EXPECT_EQ(-1, b->components().front().pid());      // B waits for A's answer
  auto t0 = std::chrono::steady_clock::now();
  store().advanceStarts(Clock::system().monoNow());  // nothing has answered yet
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
  EXPECT_TRUE(a->components().front().starting());

  store().runStartsToEnd();
  EXPECT_FALSE(store().startsPending());
  EXPECT_TRUE(a->isStarted());
  EXPECT_TRUE(b->isStarted());
  EXPECT_EQ((Events{"start A", "start B"}), regen_.events);
}

TEST_F(AppStoreTest, RecoveredAgentMakesItsDependentsReload) {
  auto agent = define("AGENT", {});
  auto maild = define("MAILD", {"agent"});
  store().start({"MAILD"}, "", "");
  const pid_t dead = pidOf(agent);
  crash(agent);

  ASSERT_TRUE(recoverNow(*agent, agent->components().front(), time(nullptr)));
  store().after_app_recovery(agent->name());
  EXPECT_GT(pidOf(agent), 0);
  EXPECT_NE(dead, pidOf(agent));
  EXPECT_TRUE(waitForText(hupLog(), "HUP " + std::to_string(pidOf(maild))));
  EXPECT_TRUE(logged("Sending SIGHUP to application MAILD due to AGENT recovered"));
}

TEST_F(AppStoreTest, ApplyRunAppSetStartsDependenciesFirstWhateverTheLoadOrder) {
  define("A", {"B"});
  define("X", {});
  define("B", {});
  define("Y", {"X"});
  store().start({"Y"}, "", "");
  regen_.events.clear();

  store().applyRunAppSet({"A"});
  store().runStartsToEnd();  // starts are queued; drive them here
  EXPECT_EQ((Events{"stop Y", "stop X", "start B", "start A"}), regen_.events);
  EXPECT_TRUE(logged("application \"X\" must be stoped"));
  EXPECT_TRUE(logged("application \"B\" must be started"));
}

TEST_F(AppStoreTest, StartOrderPutsWhatIsNeededFirstAndEveryApplicationOnce) {
  // Neither load order (C A Z Q P) nor name order (A C P Q Z); an unknown
  // dependency and a cycle that slipped past verification leave no hole.
  define("C", {"Z", "GONE"});
  define("A", {});
  define("Z", {"a"});
  define("Q", {"P"});
  define("P", {"Q"});
  Events order;
  for (const AppStore::AppPtr& app : store().startOrder()) order.push_back(app->name());
  EXPECT_EQ((Events{"A", "Z", "C", "Q", "P"}), order);
}

TEST_F(AppStoreTest, FirstNonRootIdsSkipRootAndUnknownNames) {
  auto a = define("A", {});
  auto b = define("B", {});
  EXPECT_THROW(store().firstNotRootUid(), std::runtime_error);
  a->components().front().setUser("root");
  a->components().front().setGroup("no-such-group-here");
  Component unknown("x");
  unknown.setUser("no-such-user-here");
  b->addComponent(std::move(unknown));
  Component nobody("y");
  nobody.setUser("nobody");
  nobody.setGroup("nogroup");
  b->addComponent(std::move(nobody));
  EXPECT_EQ(getpwnam("nobody")->pw_uid, store().firstNotRootUid());
  EXPECT_EQ(getgrnam("nogroup")->gr_gid, store().firstNotRootGid());
}

}  // namespace
