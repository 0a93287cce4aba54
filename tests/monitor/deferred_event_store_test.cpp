#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_file_test.h"
#include "monitor/deferred_event_store.h"
#include "thrown_text.h"

namespace {

constexpr time_t T = 1300000000;
// A wall clock far from the monotonic one: the schedule must not look at it.
constexpr time_t W = 1700000000;

class DeferredEventStoreTest : public LogFileTest {
 protected:
  DeferredEventStore store_;
};

TEST_F(DeferredEventStoreTest, TriesFollowTheRecoveryListThenRunOut) {
  DeferredEvent ev(W, T, 100, "Filter", "scanner");
  EXPECT_THROW(store_.pushFault(ev), DeferredEventStore::TimeoutError);  // no list, no try

  store_.setTimeList({10, 60, 300});
  const time_t expected[] = {T + 10, T + 70, T + 370};
  for (int i = 0; i < 3; ++i) {
    store_.pushFault(ev);
    ASSERT_FALSE(store_.popDue(expected[i] - 1, ev));
    ASSERT_TRUE(store_.popDue(expected[i], ev));
    EXPECT_EQ(ev.tryNo, i + 1);
    EXPECT_EQ(ev.due, expected[i]);
    EXPECT_EQ(ev.faultTime, W);
  }
  EXPECT_EQ("pushFault() error: try number is over",
            thrownText<DeferredEventStore::TimeoutError>([&] { store_.pushFault(ev); }));
  EXPECT_TRUE(store_.empty());

  // A reload shortens the list: the running series ends after its first try.
  DeferredEvent next(T, T, 100, "Filter", "scanner");
  store_.pushFault(next);
  ASSERT_TRUE(store_.popDue(T + 10, next));
  store_.setTimeList({10});
  EXPECT_THROW(store_.pushFault(next), DeferredEventStore::TimeoutError);
}

TEST_F(DeferredEventStoreTest, DueOrderAndOneEventPerComponent) {
  store_.setTimeList({30});
  store_.pushFault(DeferredEvent(T + 20, T + 20, 1, "A", "a"));  // due T+50
  store_.pushFault(DeferredEvent(T, T, 2, "B", "b"));       // due T+30
  store_.pushFault(DeferredEvent(T + 10, T + 10, 3, "C", "c"));  // due T+40
  // A second fault of a component replaces its first; a reused pid of
  // another component does not; application names ignore case.
  store_.pushFault(DeferredEvent(T + 15, T + 15, 3, "C", "c"));  // due T+45
  store_.pushFault(DeferredEvent(T + 1, T + 1, 3, "MAILD", "c"));  // due T+31
  store_.pushFault(DeferredEvent(T + 16, T + 16, 90, "a", "a"));  // due T+46
  EXPECT_TRUE(warned("equal pid error, pid=3"));
  DeferredEvent ev;
  EXPECT_FALSE(store_.popDue(T + 29, ev));
  std::vector<std::string> order;
  while (store_.popDue(T + 100, ev)) {
    order.push_back(ev.appName + "/" + std::to_string(ev.pid) + "@" + std::to_string(ev.due - T));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"B/2@30", "MAILD/3@31", "C/3@45", "a/90@46"}));
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

  store_.pushFault(DeferredEvent(T, T, currentPid["scanner"], "Filter", "scanner"));
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
