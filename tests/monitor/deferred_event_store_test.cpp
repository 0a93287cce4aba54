#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "deferred_event_store.h"
#include "log.h"
#include "file_util.h"
#include "temp_dir.h"

namespace {

constexpr time_t T = 1300000000;

class DeferredEventStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logFile_ = dir_.path() + "/log";
    initLog(logFile_, "debug", "quiet", "daemon", false, false);
  }
  void TearDown() override { initLog("syslog", "quiet", "quiet", "daemon", false, false); }

  TempDir dir_;
  std::string logFile_;
  DeferredEventStore store_;
};

TEST_F(DeferredEventStoreTest, TriesFollowTheRecoveryListThenRunOut) {
  store_.setTimeList({10, 60, 300});
  DeferredEvent ev(T, 100, "Filter", "scanner");
  const time_t expected[] = {T + 10, T + 70, T + 370};
  for (int i = 0; i < 3; ++i) {
    store_.pushFault(ev);
    ASSERT_FALSE(store_.popDue(expected[i] - 1, ev));
    ASSERT_TRUE(store_.popDue(expected[i], ev));
    EXPECT_EQ(ev.tryNo, i + 1);
    EXPECT_EQ(ev.due, expected[i]);
    EXPECT_EQ(ev.faultTime, T);
  }
  try {
    store_.pushFault(ev);
    FAIL() << "a fourth try was scheduled";
  } catch (const DeferredEventStore::TimeoutError& e) {
    EXPECT_STREQ(e.what(), "pushFault() error: try number is over");
  }
  EXPECT_TRUE(store_.empty());
}

TEST_F(DeferredEventStoreTest, EmptyOrShortenedListEndsTheSeriesEarly) {
  DeferredEvent ev(T, 100, "Filter", "scanner");
  EXPECT_THROW(store_.pushFault(ev), DeferredEventStore::TimeoutError);

  store_.setTimeList({10, 60, 300});
  store_.pushFault(ev);
  ASSERT_TRUE(store_.popDue(T + 10, ev));
  // A reload shortens the list: the running series ends after its first try.
  store_.setTimeList({10});
  EXPECT_THROW(store_.pushFault(ev), DeferredEventStore::TimeoutError);
}

TEST_F(DeferredEventStoreTest, EventsComeOutInDueOrder) {
  store_.setTimeList({30});
  store_.pushFault(DeferredEvent(T + 20, 1, "A", "a"));  // due T+50
  store_.pushFault(DeferredEvent(T, 2, "B", "b"));       // due T+30
  store_.pushFault(DeferredEvent(T + 10, 3, "C", "c"));  // due T+40
  DeferredEvent ev;
  EXPECT_FALSE(store_.popDue(T + 29, ev));
  ASSERT_TRUE(store_.popDue(T + 100, ev));
  EXPECT_EQ(ev.pid, 2);
  ASSERT_TRUE(store_.popDue(T + 100, ev));
  EXPECT_EQ(ev.pid, 3);
  ASSERT_TRUE(store_.popDue(T + 100, ev));
  EXPECT_EQ(ev.pid, 1);
  EXPECT_FALSE(store_.popDue(T + 100, ev));
}

TEST_F(DeferredEventStoreTest, SecondEventForAComponentReplacesTheFirst) {
  store_.setTimeList({10, 60});
  store_.pushFault(DeferredEvent(T, 77, "Filter", "scanner"));
  store_.pushFault(DeferredEvent(T, 78, "Filter", "cleaner"));
  store_.pushFault(DeferredEvent(T + 5, 77, "Filter", "scanner"));
  EXPECT_EQ(store_.size(), 2u);
  EXPECT_NE(readFile(logFile_).find("WARN equal pid error, pid=77"), std::string::npos);

  DeferredEvent ev;
  ASSERT_TRUE(store_.popDue(T + 100, ev));
  EXPECT_EQ(ev.compName, "cleaner");
  ASSERT_TRUE(store_.popDue(T + 100, ev));
  EXPECT_EQ(ev.faultTime, T + 5);
}

TEST_F(DeferredEventStoreTest, ReusedPidOfAnotherComponentKeepsBothEvents) {
  store_.setTimeList({10});
  store_.pushFault(DeferredEvent(T, 77, "Filter", "scanner"));
  store_.pushFault(DeferredEvent(T + 1, 77, "MAILD", "maild"));
  EXPECT_EQ(store_.size(), 2u);
  // Application names compare without regard to case.
  store_.pushFault(DeferredEvent(T + 2, 90, "filter", "scanner"));
  EXPECT_EQ(store_.size(), 2u);
}

// The main loop's use of the store against a component that never comes
// back: each failed restart gives it a new pid, and every try must still be
// made before it is reported.
TEST_F(DeferredEventStoreTest, FailingComponentIsTriedOnEveryEntryAcrossNewPids) {
  store_.setTimeList({5, 5});
  std::map<std::string, int> currentPid = {{"scanner", 100}};
  std::vector<time_t> restarts;
  std::vector<std::string> cannotRecover;
  int nextPid = 101;

  store_.pushFault(DeferredEvent(T, currentPid["scanner"], "Filter", "scanner"));
  for (time_t now = T; now <= T + 60; ++now) {
    DeferredEvent ev;
    while (store_.popDue(now, ev)) {
      ASSERT_EQ(currentPid.count(ev.compName), 1u) << "event lost its component";
      restarts.push_back(now);
      currentPid[ev.compName] = nextPid++;  // started, answered badly, gone
      try {
        store_.pushFault(ev);
      } catch (const DeferredEventStore::TimeoutError&) {
        cannotRecover.push_back(ev.compName);
      }
    }
  }
  EXPECT_EQ(restarts, (std::vector<time_t>{T + 5, T + 10}));
  EXPECT_EQ(cannotRecover, std::vector<std::string>{"scanner"});
  EXPECT_EQ(currentPid["scanner"], 102);
  EXPECT_TRUE(store_.empty());
}

}  // namespace
