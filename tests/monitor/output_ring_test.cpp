// The ring of a component's last output lines, and the administrators'
// logs query over an application's rings.

#include "monitor/output_ring.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "monitor/app_store.h"
#include "monitor/application.h"
#include "monitor/logs_query.h"

namespace {

using Stream = OutputRing::Stream;

TEST(OutputRingTest, BoundsByLinesAndBytesAndNumbersInOrder) {
  // The long line goes by the byte bound before the ring has grown full.
  std::vector<std::string> singles(20, "s"), withLong{std::string(15, 'l')};
  withLong.insert(withLong.end(), singles.begin(), singles.end());
  struct Case {
    size_t maxLines, maxBytes;
    std::vector<std::string> pushed, kept;
  } const cases[] = {
      {3, 100, {"a", "b", "c", "d", "e"}, {"c", "d", "e"}},  // the line bound
      {10, 6, {"aaa", "bb", "cc", "d"}, {"bb", "cc", "d"}},   // the byte bound
      {2, 100, {"", "", "x"}, {"", "x"}},                     // empty lines count
      {10, 4, {"ab", "123456"}, {"1234"}},                    // cut to the bound
      {100, 20, withLong, singles},                           // wraps, then grows
  };
  for (const Case& c : cases) {
    OutputRing ring(c.maxLines, c.maxBytes);
    const uint64_t before = OutputRing::lastSequence();
    for (const std::string& text : c.pushed) ring.push(1000, Stream::kErr, text);
    std::vector<std::string> kept;
    for (size_t i = 0; i < ring.size(); ++i) kept.push_back(ring.at(i).text);
    EXPECT_EQ(c.kept, kept);
    EXPECT_EQ(before + c.pushed.size(), ring.at(ring.size() - 1).seq);
    EXPECT_EQ(before + c.pushed.size() - c.kept.size() + 1, ring.at(0).seq);
    EXPECT_EQ(0u, ring.firstAfter(before));
    EXPECT_EQ(1u, ring.firstAfter(ring.at(0).seq));
  }
  OutputRing ring;  // 1000 lines, or 256 KiB of the longest
  for (int i = 0; i < 1000; ++i) ring.push(1, Stream::kOut, std::string(1023, 'x'));
  EXPECT_EQ(256u, ring.size());
  EXPECT_EQ(256u * 1023, ring.bytes());
}

// WEB's webd and cgi wrote "line 0" to "line 7" by turns, cgi on stderr.
TEST(LogsQueryTest, NewestLinesInOrderAfterANumberWithinTheByteCap) {
  AppStore store(false);
  auto app = std::make_shared<Application>("WEB");
  app->addComponent(Component("webd"));
  app->addComponent(Component("cgi"));
  ASSERT_TRUE(store.add(app));
  for (int i = 0; i < 8; ++i)
    app->components()[i % 2].output().push(100 + i, Stream(i % 2 + 1), "line " + std::to_string(i));
  const uint64_t base = OutputRing::lastSequence() - 8;
  LogsQuery q;
  auto run = [&](uint64_t after, size_t most, size_t cap = 1000) {
    q.after = after;
    q.most = most;
    q.byteCap = cap;
    EXPECT_EQ("", q.collect(store));
    std::string out;
    for (const LogsQuery::Line& l : q.lines) out += l.component + ":" + l.text + ";";
    return out;
  };
  q.app = "web";  // application names ignore case
  EXPECT_EQ("cgi:line 5;webd:line 6;cgi:line 7;", run(0, 3));
  EXPECT_TRUE(q.lines.front().stream == Stream::kErr && q.lines.front().time == 105);
  EXPECT_EQ(base + 8, q.next);
  EXPECT_EQ("", run(q.next, 3));  // nothing new
  EXPECT_EQ(base + 8, q.next);
  // Two lines' worth of bytes: the oldest first, the rest to ask for next;
  // one line goes whatever it costs.
  EXPECT_EQ("cgi:line 3;webd:line 4;", run(base, 5, 2 * (4 + 6 + 20)));
  EXPECT_TRUE(q.more);
  EXPECT_EQ(base + 5, q.next);
  EXPECT_EQ("cgi:line 5;", run(q.next, 3, 1));
  // A number from an earlier monitor: all is new.
  EXPECT_EQ("cgi:line 7;", run(OutputRing::lastSequence() + 100, 1));
  q.component = "webd";
  EXPECT_EQ("webd:line 4;webd:line 6;", run(base, 2));
  EXPECT_EQ("", run(base, 0));  // none wanted still moves past them
  EXPECT_EQ(base + 7, q.next);

  q.component = "nope";
  EXPECT_EQ("unknown component \"nope\" of application \"WEB\"", q.collect(store));
  q.app = "NOPE";
  EXPECT_EQ("unknown application \"NOPE\"", q.collect(store));
}

}  // namespace
