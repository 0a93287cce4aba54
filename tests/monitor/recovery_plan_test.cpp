#include "monitor/recovery_plan.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "tests/support/fake_clock.h"

using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

RecoveryPlan makePlan(std::vector<int> delays, int stableTime) {
  return RecoveryPlan(RecoveryPlan::Settings{std::move(delays), seconds(stableTime)});
}

// Try 1 after a death at a moment between whole seconds: it is made and
// answers on time, and the process dies `gap` after the answer.
TEST(RecoveryPlanTest, DeathAfterAnAnsweredRestart) {
  struct Case {
    const char* name;
    std::vector<int> delays;
    int stableTime;
    milliseconds gap;
    bool tryLeft;
    int tryNo;
    milliseconds dueAfterFirstFault;  // -1: counted from the second death instead
  };
  const Case cases[] = {
      {"crash right after the answer goes on", {1, 1, 1}, 60, milliseconds(50), true, 2,
       milliseconds(2000)},
      {"just inside the stable time", {1, 5}, 60, milliseconds(59999), true, 2,
       milliseconds(6000)},
      {"stayed up the stable time: fresh sequence", {1, 1, 1}, 60, milliseconds(60000), true, 1,
       milliseconds(-1)},
      {"no stable time: every answer counts", {1, 1, 1}, 0, milliseconds(0), true, 1,
       milliseconds(-1)},
      {"list used up", {0}, 60, milliseconds(50), false, 1, milliseconds(-1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClock clock;
    clock.advance(milliseconds(900));
    RecoveryPlan plan = makePlan(c.delays, c.stableTime);
    const Clock::MonoTime firstFault = clock.monoNow();
    const time_t firstWall = clock.wallNow();
    ASSERT_TRUE(plan.fault(firstFault, firstWall));
    ASSERT_EQ(plan.tryNo(), 1);
    EXPECT_EQ(plan.due(), firstFault + seconds(c.delays[0]));
    clock.advance(seconds(c.delays[0]));
    plan.tryMade(clock.wallNow());
    plan.answered(clock.monoNow());

    clock.advance(c.gap);
    EXPECT_EQ(plan.fault(clock.monoNow(), clock.wallNow()), c.tryLeft);
    EXPECT_EQ(plan.givenUp(), !c.tryLeft);
    EXPECT_EQ(plan.tryNo(), c.tryNo);
    if (!c.tryLeft) continue;
    if (c.dueAfterFirstFault >= milliseconds(0)) {
      EXPECT_EQ(plan.faultTime(), firstWall);
      EXPECT_EQ(plan.due(), firstFault + c.dueAfterFirstFault);
      EXPECT_EQ(plan.attempts().size(), 1u);
    } else {
      EXPECT_EQ(plan.due(), clock.monoNow() + seconds(c.delays[0]));
      EXPECT_TRUE(plan.attempts().empty());
    }
  }
}

// Tries made late (a slow loop) are recorded when made, not when due; the
// give-up comes with the death after the last one, whether the tries
// answered and crashed or never answered at all.
TEST(RecoveryPlanTest, GivesUpAfterTheLastOffsetRecordingActualTries) {
  for (const bool answers : {true, false}) {
    SCOPED_TRACE(answers ? "crash loop" : "tries that never answer");
    FakeClock clock;
    RecoveryPlan plan = makePlan({1, 1, 1}, 60);
    ASSERT_TRUE(plan.fault(clock.monoNow(), clock.wallNow()));
    const time_t faultTime = clock.wallNow();
    std::vector<time_t> made;
    bool tryLeft = true;
    for (int i = 0; tryLeft; ++i) {
      ASSERT_LT(i, 3);
      clock.advance(seconds(3));
      made.push_back(clock.wallNow());
      plan.tryMade(clock.wallNow());
      if (answers) {
        plan.answered(clock.monoNow());
        clock.advance(milliseconds(50));
        tryLeft = plan.fault(clock.monoNow(), clock.wallNow());
      } else {
        tryLeft = plan.tryFailed();
      }
    }
    EXPECT_EQ(plan.tryNo(), 3);
    EXPECT_TRUE(plan.givenUp());
    EXPECT_EQ(plan.faultTime(), faultTime);
    EXPECT_EQ(plan.attempts(), made);
    // A later death (after an administrator's start, say) begins anew.
    clock.advance(seconds(1));
    EXPECT_TRUE(plan.fault(clock.monoNow(), clock.wallNow()));
    EXPECT_EQ(plan.tryNo(), 1);
    EXPECT_FALSE(plan.givenUp());
  }
}

}  // namespace
