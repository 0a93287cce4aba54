#include "frame/ticker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>

namespace {

using std::chrono::milliseconds;

// An output stream the test may look at while the spinner thread writes.
class Capture : public std::ostream {
 public:
  Capture() : std::ostream(&buf_) {}
  std::string str() { return buf_.text(); }

 private:
  struct Buf : std::streambuf {
    std::mutex mutex;
    std::string data;
    int overflow(int c) override {
      if (c != traits_type::eof()) {
        std::lock_guard<std::mutex> lock(mutex);
        data += static_cast<char>(c);
      }
      return c;
    }
    std::string text() {
      std::lock_guard<std::mutex> lock(mutex);
      return data;
    }
  } buf_;
};

TEST(TickerTest, TurnsInPlaceCleansUpAndOnlyOneSpins) {
  Capture out, second;
  {
    Ticker ticker(out, milliseconds(2));
    Ticker other(second, milliseconds(2));
    // Wait for a few turns without depending on speed.
    for (int i = 0; i < 5000 && out.str().size() < 12; ++i)
      std::this_thread::sleep_for(milliseconds(1));
  }
  EXPECT_EQ(second.str(), "");
  const std::string text = out.str();
  ASSERT_GE(text.size(), 12u);
  // "-", then "\b" + next frame for every further turn, then a final "\b".
  const std::string frames = "-\\|/";
  EXPECT_EQ(text[0], '-');
  size_t frame = 1;
  for (size_t i = 1; i + 1 < text.size(); i += 2, ++frame) {
    ASSERT_EQ(text[i], '\b') << i;
    ASSERT_EQ(text[i + 1], frames[frame % 4]) << i;
  }
  EXPECT_EQ(text.size() % 2, 0u);
  EXPECT_EQ(text.back(), '\b');
}

TEST(TickerTest, QuietAtFirstAndStopsPromptly) {
  Capture out;
  auto start = std::chrono::steady_clock::now();
  { Ticker ticker(out, std::chrono::minutes(1)); }
  // The destructor wakes the thread instead of waiting out its step.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(out.str(), "");
}

}  // namespace
