#include <errno.h>
#include <string.h>

#include <thread>

#include <gtest/gtest.h>

#include "nk_deadline.h"
#include "nk_exception.h"
#include "nk_ipc_error.h"
#include "nk_time.h"
#include "nk_timeout.h"

namespace norvak {
namespace base {
namespace {

TEST(NkTimeoutTest, SetConvertsUnitsAndClamps) {
  EXPECT_TRUE(NkTimeout(-5, NkTimeout::kSeconds).IsInfinite());
  EXPECT_EQ(5000u, NkTimeout(5, NkTimeout::kSeconds).GetMilliseconds());
  EXPECT_EQ(5u, NkTimeout(5, NkTimeout::kMilliseconds).GetMilliseconds());
  EXPECT_EQ(14400000u, NkTimeout(5 * 3600, NkTimeout::kSeconds).GetMilliseconds());
  EXPECT_EQ(14400000u, NkTimeout(14400001, NkTimeout::kMilliseconds).GetMilliseconds());
  // Huge second counts must not overflow into small values.
  EXPECT_EQ(14400000u, NkTimeout(INT64_MAX, NkTimeout::kSeconds).GetMilliseconds());
  EXPECT_EQ(1u, NkTimeout(1999, NkTimeout::kMilliseconds).AsUnit(NkTimeout::kSeconds));
  EXPECT_EQ(0xFFFFFFFFu, NkTimeout().AsUnit(NkTimeout::kSeconds));
}

TEST(NkTimeoutTest, UnknownUnitIsAParameterError) {
  NkTimeout timeout;
  try {
    timeout.Set(1, 2);
    FAIL();
  } catch (const NkParameterError& e) {
    EXPECT_STREQ("Timeout::Set: the 'Unit' parameter contains invalid value '2'", e.what());
  }
  EXPECT_THROW(timeout.AsUnit(7), NkParameterError);
}

TEST(NkTimeoutTest, Text) {
  EXPECT_EQ("0 ms", NkTimeout::Milliseconds(0).ToString());
  EXPECT_EQ("inf", NkTimeout().ToString());
  EXPECT_EQ(" 1 m", NkTimeout::Milliseconds(60000).ToString());
  EXPECT_EQ("1 h  2 m 3 s 4 ms", NkTimeout::Milliseconds(3723004).ToString());
  EXPECT_EQ(" 1 s 500 ms", NkTimeout::Milliseconds(1500).ToString());
  EXPECT_EQ("4 h ", kNkMaxTimeout.ToString());
}

TEST(NkTimeoutTest, ArithmeticClampsAndKeepsInfinity) {
  const NkTimeout one = NkTimeout::Milliseconds(1000);
  const NkTimeout two = NkTimeout::Milliseconds(2000);
  EXPECT_EQ(0u, (one - two).GetMilliseconds());
  EXPECT_EQ(1000u, (two - one).GetMilliseconds());
  EXPECT_EQ(kNkMaxTimeout, kNkMaxTimeout + one);
  EXPECT_TRUE((kNkInfiniteTimeout + one).IsInfinite());
  EXPECT_TRUE((kNkInfiniteTimeout - one).IsInfinite());
}

TEST(NkTimeTest, UndefinedArithmeticAndText) {
  const NkTime undefined;
  EXPECT_TRUE(undefined.IsUndefined());
  EXPECT_EQ("undefined", undefined.ToString());
  EXPECT_TRUE((NkTime::Now() + kNkInfiniteTimeout).IsUndefined());
  EXPECT_TRUE((undefined - NkTime::Now()).IsInfinite());
  EXPECT_TRUE((NkTime::Now() - undefined).IsZero());
  // "Never" comes after every real time.
  EXPECT_TRUE(NkTime::Now() < undefined);
  EXPECT_FALSE(undefined < NkTime::Now());

  const NkTime t(100, 900000000);
  const NkTime later = t + NkTimeout::Milliseconds(250);
  EXPECT_EQ(101, later.GetSeconds());
  EXPECT_EQ(150000000, later.GetNanoseconds());
  EXPECT_EQ(250u, (later - t).GetMilliseconds());
  EXPECT_EQ(0u, (t - later).GetMilliseconds());
  EXPECT_EQ("2011-05-11 10:00:00", NkTime(1305108000, 0).ToString());
}

TEST(NkDeadlineTest, RemainingTime) {
  EXPECT_TRUE(NkDeadline().Remaining().IsInfinite());
  EXPECT_TRUE(NkDeadline(kNkInfiniteTimeout).IsUndefined());
  EXPECT_FALSE(NkDeadline(kNkInfiniteTimeout).IsPassed());

  const NkDeadline soon(NkTimeout::Milliseconds(60000));
  EXPECT_GT(soon.Remaining().GetMilliseconds(), 50000u);
  EXPECT_LE(soon.Remaining().GetMilliseconds(), 60000u);
  EXPECT_TRUE(soon < NkDeadline());

  const NkDeadline passed(NkTimeout::Milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(passed.IsPassed());
  EXPECT_TRUE(passed.Remaining().IsZero());
  EXPECT_TRUE(NkDeadline(kNkZeroTimeout).Remaining().IsZero());
}

TEST(NkExceptionTest, MessagePatterns) {
  EXPECT_STREQ("Session::ctor: the 'PoolManager' parameter contains invalid value 'null'",
               NkParameterError("Session::ctor", "PoolManager", "null").what());
  EXPECT_STREQ("local and remote addresses: the 'not defined' parameter is invalid",
               NkParameterError("local and remote addresses", "not defined").what());

  const NkSystemError error("Socket::Connect", 61);
  EXPECT_EQ(std::string("Socket::Connect: [61] ") + strerror(61), error.what());
  EXPECT_EQ(61, error.GetError());
  EXPECT_EQ(std::string("x: [-1] ") + strerror(-1), NkSystemError("x", -1).what());

  EXPECT_STREQ("a waiting of Socket::IsReady: timed out (timeout= 2 s)",
               NkTimedOut("Socket::IsReady", NkTimeout::Milliseconds(2000)).what());
  EXPECT_STREQ("Execute: timed out (deadline=2011-05-11 10:00:00)",
               NkTimedOut("Execute", NkTime(1305108000, 0)).what());

  const ipc::NkIpcErrorClosedByPeer closed(nullptr, "Socket::Receive ");
  EXPECT_STREQ("Socket::Receive - closed by peer", closed.what());
  EXPECT_STREQ("IsReady - closed", ipc::NkIpcErrorClosed(nullptr, "IsReady ").what());

  // The hierarchy callers rely on when they catch.
  EXPECT_THROW(throw closed, ipc::NkIpcErrorClosed);
  EXPECT_THROW(throw NkSessionDestroyed("d"), NkThreadCanceled);
  EXPECT_THROW(throw NkSessionClosed("c"), NkException);
  EXPECT_THROW(throw NkNeedRecall("r"), std::logic_error);
}

}  // namespace
}  // namespace base
}  // namespace norvak
