// Replaces the global allocator to see the largest single request made while
// a unit reads values whose length or count came from the peer.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/nk_ddp_unit.h"
#include "ipc/nk_exception.h"
#include "session_test_support.h"

#include "largest_allocation.h"

namespace norvak {
namespace ipc {
namespace {

TEST(DdpMemoryTest, AnnouncedSizesCostNothingUntilTheBytesCome) {
  auto pair = testing_support::MakeSocketPair();
  NkDdpUnit out, in;
  out.SetConnection(pair.first);
  in.SetConnection(pair.second);
  // A string length and a vector count of 0xFFFFFFFF with nothing behind them.
  std::vector<std::string> values;
  for (auto get : std::vector<std::function<void()>>{[&] { in.GetString(); },
                                                     [&] { in.GetVector(values); }}) {
    in.SetDeadline(base::NkDeadline(base::NkTimeout::Milliseconds(200)));
    out.AddInt32(-1);
    out.Push();
    g_largest = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(get(), base::NkTimedOut);
    EXPECT_LT(g_largest.load(), 64u * 1024);
    EXPECT_LT(testing_support::SecondsSince(start), 5.0);
  }
  // The deadline has passed: the next call gives up at once.
  EXPECT_THROW(in.GetInt32(), base::NkTimedOut);

  // Real bytes still make a real string, growing as they arrive.
  in.SetDeadline(base::NkDeadline(base::NkTimeout::Milliseconds(10000)));
  const std::string body(100000, 'z');
  out.AddString(body);
  out.Push();
  g_largest = 0;
  EXPECT_EQ(body, in.GetString());
  EXPECT_LT(g_largest.load(), 4 * body.size());
}

}  // namespace
}  // namespace ipc
}  // namespace norvak
