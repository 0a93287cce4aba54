#include <errno.h>
#include <string.h>

#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/nk_exception.h"
#include "ipc/nk_ipc_error.h"
#include "ipc/nk_log_limiter.h"
#include "ipc/nk_time.h"
#include "ipc/nk_timeout.h"
#include "session_test_support.h"

namespace norvak {
namespace base {
namespace {

TEST(NkTimeoutTest, UnitsClampAndArithmetic) {
  // Everything is held below four hours; huge counts must not wrap to small ones.
  EXPECT_TRUE(NkTimeout(-5, NkTimeout::kSeconds).IsInfinite());
  EXPECT_EQ(5000u, NkTimeout(5, NkTimeout::kSeconds).GetMilliseconds());
  EXPECT_EQ(14400000u, NkTimeout(5 * 3600, NkTimeout::kSeconds).GetMilliseconds());
  EXPECT_EQ(14400000u, NkTimeout(14400001, NkTimeout::kMilliseconds).GetMilliseconds());
  EXPECT_EQ(14400000u, NkTimeout(INT64_MAX, NkTimeout::kSeconds).GetMilliseconds());
  EXPECT_EQ(1u, NkTimeout(1999, NkTimeout::kMilliseconds).AsUnit(NkTimeout::kSeconds));
  EXPECT_EQ(0xFFFFFFFFu, NkTimeout().AsUnit(NkTimeout::kSeconds));
  EXPECT_THROW(NkTimeout().AsUnit(7), NkParameterError);

  const NkTimeout one = NkTimeout::Milliseconds(1000);
  EXPECT_EQ(0u, (one - NkTimeout::Milliseconds(2000)).GetMilliseconds());
  EXPECT_EQ(kNkMaxTimeout, kNkMaxTimeout + one);
  EXPECT_TRUE((kNkInfiniteTimeout + one).IsInfinite());
  EXPECT_TRUE((kNkInfiniteTimeout - one).IsInfinite());
}

TEST(NkTimeTest, UndefinedIsNeverAndCarriesOverNanoseconds) {
  const NkTime undefined;
  EXPECT_TRUE((NkTime::Now() + kNkInfiniteTimeout).IsUndefined());
  EXPECT_TRUE((undefined - NkTime::Now()).IsInfinite());
  EXPECT_TRUE((NkTime::Now() - undefined).IsZero());
  EXPECT_TRUE(NkTime::Now() < undefined);
  EXPECT_FALSE(undefined < NkTime::Now());

  const NkTime t(100, 900000000);
  const NkTime later = t + NkTimeout::Milliseconds(250);
  EXPECT_EQ(101, later.GetSeconds());
  EXPECT_EQ(150000000, later.GetNanoseconds());
  EXPECT_EQ(250u, (later - t).GetMilliseconds());
  EXPECT_EQ(0u, (t - later).GetMilliseconds());
}

TEST(TextTest, TimesAndErrorMessages) {
  const ipc::NkIpcErrorClosedByPeer closed(nullptr, "Socket::Receive ");
  for (const auto& c : std::vector<std::pair<std::string, std::string>>{
           {NkTimeout::Milliseconds(0).ToString(), "0 ms"},
           {NkTimeout().ToString(), "inf"},
           {NkTimeout::Milliseconds(60000).ToString(), " 1 m"},
           {NkTimeout::Milliseconds(3723004).ToString(), "1 h  2 m 3 s 4 ms"},
           {NkTimeout::Milliseconds(1500).ToString(), " 1 s 500 ms"},
           {kNkMaxTimeout.ToString(), "4 h "},
           {NkTime().ToString(), "undefined"},
           {NkTime(1305108000, 0).ToString(), "2011-05-11 10:00:00"},
           {ipc::testing_support::ErrorText([] { NkTimeout().Set(1, 2); }),
            "Timeout::Set: the 'Unit' parameter contains invalid value '2'"},
           {NkParameterError("Session::ctor", "PoolManager", "null").what(),
            "Session::ctor: the 'PoolManager' parameter contains invalid value 'null'"},
           {NkParameterError("local and remote addresses", "not defined").what(),
            "local and remote addresses: the 'not defined' parameter is invalid"},
           {NkSystemError("Socket::Connect", 61).what(),
            std::string("Socket::Connect: [61] ") + strerror(61)},
           {NkSystemError("x", -1).what(), std::string("x: [-1] ") + strerror(-1)},
           {NkTimedOut("Socket::IsReady", NkTimeout::Milliseconds(2000)).what(),
            "a waiting of Socket::IsReady: timed out (timeout= 2 s)"},
           {NkTimedOut("Execute", NkTime(1305108000, 0)).what(),
            "Execute: timed out (deadline=2011-05-11 10:00:00)"},
           {closed.what(), "Socket::Receive - closed by peer"},
           {ipc::NkIpcErrorClosed(nullptr, "IsReady ").what(), "IsReady - closed"},
       }) {
    EXPECT_EQ(c.second, c.first);
  }
  EXPECT_EQ(61, NkSystemError("Socket::Connect", 61).GetError());
  // The hierarchy callers rely on when they catch.
  EXPECT_THROW(throw closed, ipc::NkIpcErrorClosed);
  EXPECT_THROW(throw NkSessionDestroyed("d"), NkThreadCanceled);
  EXPECT_THROW(throw NkSessionClosed("c"), NkException);
  EXPECT_THROW(throw NkNeedRecall("r"), std::logic_error);
}

TEST(NkLogLimiterTest, BurstFromManyThreadsIsCutToTenRecordsAndTheRestCounted) {
  ipc::testing_support::LogCapture log;
  NkTime now(100, 0);
  NkLogLimiter limiter(10, [&] { return now; });
  std::vector<std::thread> threads(4);
  for (std::thread& t : threads) {
    t = std::thread([&] {
      for (int i = 0; i < 250; ++i) limiter.Error("bad");
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(10, log.Count(NK_LOG_ERROR, "bad"));
  for (int second = 1; second <= 2; ++second) {
    now = now + kNkOneSecondTimeout;
    limiter.Error("bad");
  }
  EXPECT_EQ(12, log.Count(NK_LOG_ERROR, "bad"));
  // Told once, when the next second's first record passes.
  EXPECT_EQ(1, log.Count(NK_LOG_ERROR, "suppressed"));
  EXPECT_TRUE(log.Contains(NK_LOG_ERROR, "990 protocol errors suppressed"));
}

}  // namespace
}  // namespace base
}  // namespace norvak
