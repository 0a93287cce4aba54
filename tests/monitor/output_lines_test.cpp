// Line cutting and the per-second burst of component output.

#include "monitor/output_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> split(LineSplitter& s, const std::vector<std::string>& chunks,
                               bool finish) {
  std::vector<std::string> out;
  auto emit = [&out](const std::string& l) { out.push_back(l); };
  for (const std::string& c : chunks) s.feed(c.data(), c.size(), emit);
  if (finish) s.finish(emit);
  return out;
}

TEST(LineSplitterTest, LinesAcrossChunksPartialsAndOverlongLines) {
  LineSplitter s(8);
  EXPECT_EQ((std::vector<std::string>{"ab", "cd", "", "ef"}),
            split(s, {"a", "b\ncd\r\n", "\ne", "f\ngh"}, false));
  // The partial line waits for its end, or for the stream's.
  EXPECT_EQ((std::vector<std::string>{"ghij"}), split(s, {"ij"}, true));
  EXPECT_TRUE(split(s, {}, true).empty());

  // Cut at the limit; the rest of that line is dropped, even across chunks.
  EXPECT_EQ((std::vector<std::string>{"12345678", "next"}),
            split(s, {"1234567890", "abc", "def\nnext\n"}, false));
  EXPECT_EQ((std::vector<std::string>{"12345678"}), split(s, {"12345678"}, false));
  EXPECT_EQ((std::vector<std::string>{"after"}), split(s, {"\nafter\n"}, false));
}

TEST(LineLimiterTest, BurstPerWindowAndCountOfTheRest) {
  using std::chrono::milliseconds;
  LineLimiter l(3, milliseconds(1000));
  const Clock::MonoTime t0(std::chrono::seconds(100));
  Clock::MonoTime due;
  EXPECT_EQ(0u, l.roll(t0));
  int passed = 0;
  for (int i = 0; i < 10; ++i) passed += l.admit() ? 1 : 0;
  EXPECT_EQ(3, passed);
  ASSERT_TRUE(l.reportDue(due));
  EXPECT_EQ(t0 + milliseconds(1000), due);
  EXPECT_EQ(0u, l.roll(t0 + milliseconds(999)));
  EXPECT_FALSE(l.admit());
  EXPECT_EQ(8u, l.roll(due));
  EXPECT_FALSE(l.reportDue(due));
  EXPECT_TRUE(l.admit());  // a new window, a new burst
  EXPECT_EQ(0u, l.take());
}

}  // namespace
