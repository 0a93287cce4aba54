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

std::vector<std::string> texts(const OutputRing& ring) {
  std::vector<std::string> out;
  for (const OutputRing::Line& line : ring.lines()) out.push_back(line.text);
  return out;
}

TEST(OutputRingTest, BoundsByLinesAndBytesAndNumbersInOrder) {
  struct Case {
    const char* what;
    size_t maxLines, maxBytes;
    std::vector<std::string> pushed;
    std::vector<std::string> kept;
  };
  const Case cases[] = {
      {"under both bounds", 3, 100, {"a", "b"}, {"a", "b"}},
      {"line bound drops the oldest", 3, 100, {"a", "b", "c", "d", "e"}, {"c", "d", "e"}},
      {"byte bound drops the oldest", 10, 6, {"aaa", "bb", "cc", "d"}, {"bb", "cc", "d"}},
      {"empty lines count as lines", 2, 100, {"", "", "x"}, {"", "x"}},
      {"an overlong line is cut to the bound", 10, 4, {"ab", "123456"}, {"1234"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OutputRing ring(c.maxLines, c.maxBytes);
    const uint64_t before = OutputRing::lastSequence();
    for (const std::string& text : c.pushed) ring.push(1000, Stream::kErr, text);
    EXPECT_EQ(c.kept, texts(ring));
    size_t bytes = 0;
    uint64_t seq = before;
    for (const OutputRing::Line& line : ring.lines()) {
      bytes += line.text.size();
      EXPECT_GT(line.seq, seq);
      seq = line.seq;
      EXPECT_EQ(Stream::kErr, line.stream);
      EXPECT_EQ(1000, line.time);
    }
    EXPECT_EQ(bytes, ring.bytes());
    EXPECT_EQ(before + c.pushed.size(), OutputRing::lastSequence());
    EXPECT_LE(ring.lines().size(), c.maxLines);
    EXPECT_LE(ring.bytes(), c.maxBytes);
  }

  // The default bounds: 1000 lines, or 256 KiB of longest lines.
  OutputRing ring;
  for (int i = 0; i < 3000; ++i) ring.push(1, Stream::kOut, std::to_string(i));
  EXPECT_EQ(1000u, ring.lines().size());
  EXPECT_EQ("2000", ring.lines().front().text);
  for (int i = 0; i < 1000; ++i) ring.push(1, Stream::kOut, std::string(1023, 'x'));
  EXPECT_EQ(256u * 1024 / 1023, ring.lines().size());

  const uint64_t first = ring.lines().front().seq;
  EXPECT_EQ(0u, ring.firstAfter(0));
  EXPECT_EQ(0u, ring.firstAfter(first - 1));
  EXPECT_EQ(1u, ring.firstAfter(first));
  EXPECT_EQ(ring.lines().size(), ring.firstAfter(OutputRing::lastSequence()));
}

// Two components whose lines interleave: w0 x1 w2 x3 ... by number.
class LogsQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto app = std::make_shared<Application>("WEB");
    app->addComponent(Component("webd"));
    app->addComponent(Component("cgi"));
    ASSERT_TRUE(store_.add(app));
    for (int i = 0; i < 8; ++i) {
      Component& comp = app->components()[i % 2];
      comp.output().push(100 + i, i % 2 ? Stream::kErr : Stream::kOut, "line " + std::to_string(i));
    }
    base_ = OutputRing::lastSequence() - 8;
  }

  std::vector<std::string> run(LogsQuery& q) {
    EXPECT_EQ("", q.collect(store_));
    std::vector<std::string> out;
    for (const LogsQuery::Line& line : q.lines) out.push_back(line.component + ": " + line.text);
    return out;
  }

  AppStore store_{false};
  uint64_t base_ = 0;
};

TEST_F(LogsQueryTest, NewestLinesInOrderAfterANumberWithinTheByteCap) {
  LogsQuery q;
  q.app = "web";  // application names ignore case
  q.most = 3;
  EXPECT_EQ((std::vector<std::string>{"cgi: line 5", "webd: line 6", "cgi: line 7"}), run(q));
  EXPECT_EQ(Stream::kErr, q.lines.front().stream);
  EXPECT_EQ(105, q.lines.front().time);
  EXPECT_EQ(base_ + 8, q.next);
  EXPECT_FALSE(q.more);

  // Nothing new: nothing, and the same number.
  q.after = q.next;
  EXPECT_TRUE(run(q).empty());
  EXPECT_EQ(base_ + 8, q.next);

  // One component; none wanted still moves the follower past them all.
  q.component = "webd";
  q.after = base_;
  q.most = 10;
  EXPECT_EQ((std::vector<std::string>{"webd: line 0", "webd: line 2", "webd: line 4",
                                      "webd: line 6"}),
            run(q));
  q.most = 0;
  EXPECT_TRUE(run(q).empty());
  EXPECT_EQ(base_ + 7, q.next);

  // A cap of two lines' worth: the oldest first, the rest asked for next.
  q.component.clear();
  q.most = 5;
  q.byteCap = 2 * (std::string("webd").size() + 6 + 20);
  EXPECT_EQ((std::vector<std::string>{"cgi: line 3", "webd: line 4"}), run(q));
  EXPECT_TRUE(q.more);
  EXPECT_EQ(base_ + 5, q.next);
  q.after = q.next;
  q.most = 3;
  q.byteCap = 1;  // one line goes whatever it costs
  EXPECT_EQ((std::vector<std::string>{"cgi: line 5"}), run(q));

  // A number from an earlier monitor: all is new.
  q.after = OutputRing::lastSequence() + 100;
  q.most = 1;
  q.byteCap = 1000;
  EXPECT_EQ((std::vector<std::string>{"cgi: line 7"}), run(q));

  q.app = "NOPE";
  EXPECT_EQ("unknown application \"NOPE\"", q.collect(store_));
  q.app = "WEB";
  q.component = "nope";
  EXPECT_EQ("unknown component \"nope\" of application \"WEB\"", q.collect(store_));
}

}  // namespace
