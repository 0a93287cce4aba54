#include "monitor/run_app_store.h"

#include <ctype.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_component.h"
#include "frame/process_state.h"
#include "log_file_test.h"
#include "monitor/application.h"
#include "monitor/component.h"
#include "recording_regenerator.h"
#include "thrown_text.h"

namespace {

typedef std::vector<std::string> Events;

class RunAppStoreTest : public StartedLogFileTest {
 protected:
  std::string dir(const std::string& name) {
    std::string d = dir_.path() + "/" + name + "/";
    mkdir(d.c_str(), 0755);
    return d;
  }

  // An application block with one fake component (linked into place) per
  // application, so that stores loaded from it can really run.
  std::string block(const std::string& name, const std::string& deps,
                    const std::string& fullName = "") {
    std::string lower;
    for (char ch : name) lower += static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    std::string appDir = dir("bin-" + lower);
    std::string comp = lower + "-c";
    symlink(kFakeComponent, (appDir + comp).c_str());
    return "APPLICATION " + name + "\n  FULLNAME \"" + (fullName.empty() ? name : fullName) +
           "\"\n  PATH " + appDir + "\n" + (deps.empty() ? "" : "  DEPENDS " + deps + "\n") +
           "  COMPONENTS\n    " + comp + " - 20 10 LOG -\n  ENDCOMPONENTS\nENDAPPLICATION\n";
  }

  static std::shared_ptr<Application> app(const std::string& name,
                                          const std::vector<std::string>& deps) {
    auto a = std::make_shared<Application>(name);
    for (const std::string& d : deps) a->addDependency(d);
    return a;
  }

  static std::string verifyMessage(const RunAppStore& store, const AppNameSet& runSet) {
    const std::string text =
        thrownText<RunAppStore::VerifyError>([&] { store.verify(runSet); });
    return text == "<nothing thrown>" ? "" : text;
  }
};

// Stops whatever the store runs when the test leaves, failed or not.
struct StopOnExit {
  AppStore& store;
  ~StopOnExit() {
    setProcessState(STARTED);
    store.stop();
  }
};

TEST_F(RunAppStoreTest, LoadsOnlyFilesEndingInMmc) {
  std::string meta = dir("meta");
  writeFile(meta + "mail.mmc", block("MAILD", "AGENT") + block("AGENT", ""));
  writeFile(meta + "other.MMC", block("UPPER", ""));
  writeFile(meta + "notes.txt", "not a meta file\n");
  mkdir((meta + "sub.mmc").c_str(), 0755);

  RunAppStore store(false);
  store.load(meta);
  ASSERT_EQ(2u, store.applications().size());
  EXPECT_TRUE(store.contains("maild"));
  EXPECT_TRUE(store.contains("AGENT"));
  EXPECT_FALSE(store.contains("UPPER"));
  EXPECT_EQ("", verifyMessage(store, {"maild"}));
  EXPECT_TRUE(logged("parse monitor meta config file \"" + meta + "mail.mmc\""));

  RunAppStore empty(false);
  empty.load(dir("empty"));
  EXPECT_TRUE(empty.applications().empty());
  EXPECT_EQ("cannot find application \"AGENT\" in *.mmc files", verifyMessage(empty, {"AGENT"}));
}

TEST_F(RunAppStoreTest, BadFilesFailTheLoad) {
  std::string meta = dir("meta");
  writeFile(meta + "bad.mmc", "garbage here\n");
  RunAppStore store(false);
  EXPECT_EQ("error in *.mmc file \"" + meta + "bad.mmc\"",
            thrownText<std::runtime_error>([&] { store.load(meta); }));

  // The same application in two files fails whichever file comes second,
  // at its own line there: lines are counted per file.
  std::string twice = dir("twice");
  writeFile(twice + "one.mmc", block("Agent", ""));
  writeFile(twice + "two.mmc", block("AGENT", ""));
  RunAppStore dup(false);
  EXPECT_THROW(dup.load(twice), std::runtime_error);
  EXPECT_TRUE(logged(".mmc\":7:dublicate application \"A"));
  EXPECT_TRUE(logged("\". Possible there is unnecessary *.mmc file"));
}

TEST_F(RunAppStoreTest, VerificationMessagesAndCycles) {
  RunAppStore store(false);
  store.add(app("A", {"B"}));
  store.add(app("B", {"A"}));
  store.add(app("S", {"S"}));
  store.add(app("T", {"U", "V"}));
  store.add(app("U", {"W"}));
  store.add(app("V", {"W"}));
  store.add(app("W", {}));
  EXPECT_EQ("interdependence: A -> B -> B", verifyMessage(store, {"A"}));
  EXPECT_EQ("interdependence: S -> S", verifyMessage(store, {"s"}));
  EXPECT_EQ("", verifyMessage(store, {"T"}));
  // Unknown names come first; unknown dependencies count even outside the
  // run set.
  store.add(app("X", {"Q"}));
  EXPECT_EQ("cannot find application \"Z\" in *.mmc files", verifyMessage(store, {"T", "Z"}));
  EXPECT_EQ("application \"X\", unknown depends \"Q\"", verifyMessage(store, {"T"}));

  // Many shared dependencies stay cheap to check (each level doubles the
  // paths into the next).
  RunAppStore wide(false);
  const int kLevels = 40;
  for (int i = 0; i < kLevels; ++i) {
    std::string next = "L" + std::to_string(i + 1);
    wide.add(app("L" + std::to_string(i), {next + "a", next + "b"}));
    wide.add(app(next + "a", {next}));
    wide.add(app(next + "b", {next}));
  }
  wide.add(app("L" + std::to_string(kLevels), {"L0"}));
  EXPECT_EQ(0u, verifyMessage(wide, {"L0"}).find("interdependence: "));
  wide.find("L" + std::to_string(kLevels))->reconfigDeps(AppNameSet());
  EXPECT_EQ("", verifyMessage(wide, {"L0"}));
}

TEST_F(RunAppStoreTest, LoopsBelowTheRunSetAndSharedDependencies) {
  RunAppStore store(false);
  // R reaches a loop that does not pass through R, four levels down.
  store.add(app("R", {"a"}));
  store.add(app("A", {"b"}));
  store.add(app("B", {"c"}));
  store.add(app("C", {"D"}));
  store.add(app("D", {"B"}));
  // P reaches an application that depends on itself.
  store.add(app("P", {"Q"}));
  store.add(app("Q", {"Q", "W"}));
  // Diamonds over diamonds: W is reached on four paths, never on a loop.
  store.add(app("T", {"U", "V"}));
  store.add(app("U", {"W", "X"}));
  store.add(app("V", {"X", "W"}));
  store.add(app("X", {"W"}));
  store.add(app("W", {}));
  EXPECT_EQ("interdependence: a -> b -> c -> D -> B", verifyMessage(store, {"R"}));
  EXPECT_EQ("interdependence: Q -> Q", verifyMessage(store, {"P"}));
  EXPECT_EQ("", verifyMessage(store, {"T", "U", "X", "w"}));
  // Applications already walked from one run-set name do not hide a loop
  // reachable from the next.
  EXPECT_EQ("interdependence: a -> b -> c -> D -> B", verifyMessage(store, {"T", "R"}));
}

TEST_F(RunAppStoreTest, ChainsDeeperThanAnyStackVerify) {
  // Held outside a store: adding to one scans it, which is beside the point
  // here.
  const int kDepth = 100000;
  AppStore::AppList chain;
  for (int i = 0; i < kDepth; ++i)
    chain.push_back(app("N" + std::to_string(i),
                        i + 1 < kDepth ? std::vector<std::string>{"N" + std::to_string(i + 1)}
                                       : std::vector<std::string>{}));
  EXPECT_NO_THROW(RunAppStore::verify(chain, {"N0"}));

  chain.back()->addDependency("N50000");
  const std::string text = thrownText<RunAppStore::VerifyError>(
      [&] { RunAppStore::verify(chain, {"N0", "N99999"}); });
  EXPECT_EQ(0u, text.find("interdependence: N1 -> N10 -> N100 -> ")) << text.substr(0, 80);
  const std::string closing = " -> N99999 -> N50000";
  ASSERT_GT(text.size(), closing.size());
  EXPECT_EQ(closing, text.substr(text.size() - closing.size()));
}

TEST_F(RunAppStoreTest, StoreJustLoadedIsVerifiedOnItsOwn) {
  // Nothing runs and nothing is started: what a reload has read is checked
  // before it is taken over.
  setProcessState(INIT);
  std::string meta = dir("meta");
  writeFile(meta + "a.mmc", block("AGENT", "") + block("MAILD", "AGENT, FILTER"));
  writeFile(meta + "b.mmc", block("FILTER", "maild"));
  RunAppStore loop(false);
  loop.load(meta);
  EXPECT_EQ("", verifyMessage(loop, {"AGENT"}));
  EXPECT_EQ("interdependence: FILTER -> maild -> FILTER", verifyMessage(loop, {"MAILD"}));

  writeFile(meta + "b.mmc", block("FILTER", "SPAM"));
  RunAppStore unknown(false);
  unknown.load(meta);
  EXPECT_EQ("application \"FILTER\", unknown depends \"SPAM\"",
            verifyMessage(unknown, {"AGENT"}));
  EXPECT_EQ(0, unknown.runningCount());
}

TEST_F(RunAppStoreTest, UpdateSortsOldNewAndImmutableApplications) {
  std::string before = dir("before");
  std::string after = dir("after");
  writeFile(before + "x.mmc", block("C", "") + block("A", "C"));
  writeFile(after + "x.mmc", block("D", "c") + block("c", "", "renamed") + block("B", ""));

  RecordingRegenerator regen;
  RunAppStore current(false);
  StopOnExit guard{current};
  current.load(before);
  current.setRegenerator(&regen);
  current.start({"A"}, "", "");
  ASSERT_EQ((Events{"start C", "start A"}), regen.events);
  const pid_t pidC = current.find("C")->components().front().pid();

  RunAppStore fresh(false);
  fresh.load(after);
  regen.events.clear();
  current.update(fresh, {"B", "D"});
  current.runStartsToEnd();  // starts are queued; drive them here

  std::string text = log();
  size_t oldLine = text.find("oldApps: A");
  size_t newB = text.find("newApps: B");
  size_t newD = text.find("newApps: D");
  size_t same = text.find("immutableApps: C");
  ASSERT_NE(std::string::npos, same);
  EXPECT_LT(oldLine, newB);
  EXPECT_LT(newB, newD);
  EXPECT_LT(newD, same);
  EXPECT_EQ(std::string::npos, text.find("immutableApps: A"));

  // C changed only its full name: reconfigured in place, never restarted.
  EXPECT_EQ(pidC, current.find("C")->components().front().pid());
  EXPECT_EQ("renamed", current.find("C")->fullName());
  EXPECT_FALSE(current.contains("A"));
  EXPECT_EQ((Events{"stop A", "start B", "start D"}), regen.events);
  EXPECT_EQ((std::vector<std::string>{"D"}), current.dependentsOf("C"));
  EXPECT_EQ(3, current.runningCount());
}

}  // namespace
