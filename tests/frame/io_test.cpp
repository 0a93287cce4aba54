#include "frame/io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "ipc/nk_unique_fd.h"
#include "thrown_text.h"

using norvak::base::UniqueFd;

namespace {

// A pipe preloaded with data; the write end is closed unless `keepOpen`, so
// that the reader sees end of input after the data.
struct Pipe {
  UniqueFd in;
  UniqueFd out;
  explicit Pipe(const std::string& data, bool keepOpen = false) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    in.reset(fds[0]);
    out.reset(fds[1]);
    if (write(fds[1], data.data(), data.size()) != (ssize_t)data.size()) {
      throw std::runtime_error("write");
    }
    if (!keepOpen) out.reset();
  }
};

const int64_t kSecond = 1000000;

TEST(IOReadLineTest, LinesAndTheirEnds) {
  Pipe p("Options OK\nabc");
  int64_t budget = 5 * kSecond;
  std::string line;
  EXPECT_TRUE(IO::readLine(p.in.get(), budget, line));
  EXPECT_EQ(line, "Options OK");
  line.clear();
  EXPECT_FALSE(IO::readLine(p.in.get(), budget, line));  // end of input
  EXPECT_EQ(line, "abc");
  EXPECT_GE(budget, 0);
  EXPECT_LE(budget, 5 * kSecond);

  // A budget too large for the clock must not overflow into a time-out.
  Pipe big("x\n");
  int64_t endless = INT64_MAX;
  EXPECT_TRUE(IO::readLine(big.in.get(), endless, line));
  EXPECT_GT(endless, 0);

  // Any other control character ends the line with false; the line is
  // appended to, not replaced.
  Pipe q("x\ry\n");
  line = "keep:";
  EXPECT_FALSE(IO::readLine(q.in.get(), budget, line));
  EXPECT_EQ(line, "keep:x");
  EXPECT_TRUE(IO::readLine(q.in.get(), budget, line));
  EXPECT_EQ(line, "keep:xy");
}

TEST(IOReadLineTest, BudgetRunsOutWithTimeout) {
  Pipe p("partial", true);  // writer stays open, no line end comes
  int64_t budget = 50000;
  std::string line;
  EXPECT_THROW(IO::readLine(p.in.get(), budget, line), IO::TimeoutException);
  EXPECT_EQ(budget, 0);
  EXPECT_EQ(line, "partial");
  // An exhausted budget times out at once instead of waiting.
  EXPECT_THROW(IO::wait_for_read(p.in.get(), budget), IO::TimeoutException);
  int64_t negative = -5;
  EXPECT_THROW(IO::wait_for_read(p.in.get(), negative), IO::TimeoutException);
  EXPECT_EQ(negative, 0);
}

TEST(IOReadLineTest, Failures) {
  int64_t budget = kSecond;
  std::string line;
  int closed;
  {
    Pipe p("");
    closed = p.in.get();
  }
  EXPECT_EQ(thrownText<IO::Error>([&] { IO::wait_for_read(closed, budget); })
                .rfind("error in select(): ", 0),
            0u);

  // Read errors are no IO exception: callers tell them from time-outs.
  UniqueFd dir(open("/", O_RDONLY | O_DIRECTORY));
  ASSERT_TRUE(dir.valid());
  try {
    IO::readLine(dir.get(), budget, line);
    ADD_FAILURE() << "no exception";
  } catch (const IO::Exception&) {
    ADD_FAILURE() << "read errors are not IO exceptions";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), std::string("IO::readLine: read error: ") + strerror(EISDIR));
  }
}

TEST(IOReadLineTest, HighDescriptorNumbers) {
  // select() cannot watch descriptors past 1023; a busy monitor has them.
  struct rlimit rl;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  const int high = 1500;
  if (rl.rlim_cur <= (rlim_t)high) {
    rlimit raised = rl;
    raised.rlim_cur = std::min<rlim_t>(rl.rlim_max, 2048);
    if (raised.rlim_cur <= (rlim_t)high || setrlimit(RLIMIT_NOFILE, &raised) != 0) {
      GTEST_SKIP() << "descriptor limit too low";
    }
  }
  Pipe p("high\n");
  ASSERT_EQ(dup2(p.in.get(), high), high);
  UniqueFd highFd(high);
  int64_t budget = 5 * kSecond;
  std::string line;
  EXPECT_TRUE(IO::readLine(highFd.get(), budget, line));
  EXPECT_EQ(line, "high");
}

}  // namespace
