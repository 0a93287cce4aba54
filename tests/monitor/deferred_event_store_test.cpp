#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_file_test.h"
#include "monitor/deferred_event_store.h"
#include "monitor/recovery_plan.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const Clock::MonoTime T = Clock::MonoTime(std::chrono::hours(1000));
// A wall clock far from the monotonic one: the schedule must not look at it.
constexpr time_t W = 1700000000;

DeferredEvent event(pid_t pid, const std::string& app, const std::string& comp,
                    Clock::MonoTime due) {
  DeferredEvent ev(W, pid, app, comp);
  ev.due = due;
  return ev;
}

class DeferredEventStoreTest : public LogFileTest {
 protected:
  DeferredEventStore store_;
};

TEST_F(DeferredEventStoreTest, DueOrderAndOneEventPerComponent) {
  store_.push(event(1, "A", "a", T + seconds(50)));
  store_.push(event(2, "B", "b", T + seconds(30)));
  store_.push(event(3, "C", "c", T + seconds(40)));
  // A second fault of a component replaces its first; a reused pid of
  // another component does not; application names ignore case.
  store_.push(event(3, "C", "c", T + seconds(45)));
  store_.push(event(3, "MAILD", "c", T + milliseconds(30001)));
  store_.push(event(90, "a", "a", T + seconds(46)));
  EXPECT_TRUE(warned("equal pid error, pid=3"));
  DeferredEvent ev;
  // Due times are kept to the millisecond, not rounded to whole seconds.
  EXPECT_FALSE(store_.popDue(T + milliseconds(29999), ev));
  ASSERT_TRUE(store_.popDue(T + seconds(30), ev));
  EXPECT_FALSE(store_.popDue(T + seconds(30), ev));
  std::vector<std::string> order{ev.appName};
  while (store_.popDue(T + seconds(100), ev)) {
    order.push_back(ev.appName + "/" + std::to_string(ev.pid) + "@" +
                    std::to_string(std::chrono::duration_cast<milliseconds>(ev.due - T).count()));
  }
  EXPECT_EQ(order,
            (std::vector<std::string>{"B", "MAILD/3@30001", "C/3@45000", "a/90@46000"}));
}

// The main loop's use of the store and the plan against a component that
// never comes back: each failed restart gives it a new pid, and every try
// must still be made before it is reported.
TEST_F(DeferredEventStoreTest, FailingComponentIsTriedOnEveryEntryAcrossNewPids) {
  RecoveryPlan plan(RecoveryPlan::Settings{{5, 5}, seconds(60)});
  std::map<std::string, int> currentPid = {{"scanner", 100}};
  std::vector<Clock::MonoTime> restarts;
  std::vector<std::string> cannotRecover;
  int nextPid = 101;

  ASSERT_TRUE(plan.fault(T, W));
  DeferredEvent first = event(currentPid["scanner"], "Filter", "scanner", plan.due());
  store_.push(first);
  for (Clock::MonoTime now = T; now <= T + seconds(60); now += seconds(1)) {
    DeferredEvent ev;
    while (store_.popDue(now, ev)) {
      ASSERT_EQ(currentPid.count(ev.compName), 1u) << "event lost its component";
      restarts.push_back(now);
      currentPid[ev.compName] = nextPid++;  // started, answered badly, gone
      if (plan.tryFailed()) {
        ev.due = plan.due();
        store_.push(ev);
      } else {
        cannotRecover.push_back(ev.compName);
      }
    }
  }
  EXPECT_EQ(restarts, (std::vector<Clock::MonoTime>{T + seconds(5), T + seconds(10)}));
  EXPECT_EQ(cannotRecover, std::vector<std::string>{"scanner"});
  EXPECT_EQ(currentPid["scanner"], 102);
  EXPECT_TRUE(store_.empty());
}

}  // namespace
