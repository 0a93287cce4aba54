// The configuration client against a scripted agent: the request on the wire,
// what it accepts, and what a malformed answer costs. The global allocator is
// replaced to see the largest single request made while an answer is read.

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/nk_exception.h"
#include "ipc/session_test_support.h"
#include "protocols/nk_config_client.h"

#include "largest_allocation.h"

namespace norvak {
namespace maild {
namespace {

using ipc::testing_support::MakeSocketPair;
using ipc::testing_support::SecondsSince;

std::string Int(int32_t value) { return BigEndian32(static_cast<uint32_t>(value)); }
std::string Header(int32_t count) { return Int(2) + Int(1) + Int(count); }

// One exchange of `client` with a peer that has `reply` ready and then, if
// `hangUp`, closes its side. What the client sent is read back afterwards.
struct Exchange {
  bool result = false;
  std::string error;  // the exception's text, if one left the exchange
  std::string sent;
  double seconds = 0;
  size_t largest = 0;
};

Exchange RunExchange(NkConfigClient& client, const std::string& reply, bool hangUp = true,
             uint32_t timeoutMs = 300) {
  auto pair = MakeSocketPair();
  EXPECT_TRUE(pair.first && pair.second);
  EXPECT_EQ(write(pair.second->GetHandle(), reply.data(), reply.size()),
            static_cast<ssize_t>(reply.size()));
  if (hangUp) shutdown(pair.second->GetHandle(), SHUT_WR);
  ipc::NkClientSession session(ipc::testing_support::ClientPool());
  Exchange out;
  const auto start = std::chrono::steady_clock::now();
  g_largest = 0;
  try {
    out.result = session.ClientExchange(
        client, pair.first, base::NkDeadline(base::NkTimeout::Milliseconds(timeoutMs)));
  } catch (const std::exception& e) {
    out.error = e.what();
  }
  out.largest = g_largest.load();
  out.seconds = SecondsSince(start);
  char buffer[256];
  ssize_t n;
  while ((n = recv(pair.second->GetHandle(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
    out.sent.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

TEST(ConfigClientTest, RequestCarriesTypeNumberClientAndPid) {
  NkConfigClient own(44, "norvak-monitor");
  const Exchange a = RunExchange(own, Header(0));
  ASSERT_TRUE(a.result) << a.error;
  EXPECT_EQ(a.sent, BigEndian32(8195) + Int(1) + Int(44) + DdpString("norvak-monitor") +
                        Int(static_cast<int32_t>(getpid())));

  NkConfigClient extended(46, "x", 1234, true);
  const Exchange b = RunExchange(extended, Header(0));
  ASSERT_TRUE(b.result) << b.error;
  EXPECT_EQ(b.sent, BigEndian32(8195) + Int(3) + Int(46) + DdpString("x") + Int(1234));
}

TEST(ConfigClientTest, AcceptsWellFormedAnswers) {
  // No pairs is an answer too: the caller falls back to its defaults.
  NkConfigClient empty(44, "m");
  ASSERT_TRUE(RunExchange(empty, Header(0)).result);
  EXPECT_TRUE(empty.GetResults().empty());
  EXPECT_EQ(empty.GetResponseCode(), 1);

  // A key that repeats keeps its last value; keys stay as sent, so keys that
  // differ only in case are two keys here (the settings compare them).
  NkConfigClient pairs(44, "m");
  const Exchange e =
      RunExchange(pairs, Header(4) + DdpString("k") + DdpString("first") + DdpString("K") + DdpString("upper") + DdpString("k") +
                     DdpString("last") + DdpString("") + DdpString(""));
  ASSERT_TRUE(e.result) << e.error;
  EXPECT_EQ(pairs.GetResults(),
            (NkConfigClient::Results{{"", ""}, {"K", "upper"}, {"k", "last"}}));
}

TEST(ConfigClientTest, RefusesWrongTypeCodeAndCount) {
  struct Case {
    std::string reply;
    std::string error;
    int32_t code;  // the response code kept afterwards
  };
  const Case cases[] = {
      // The type is checked before the code is even read.
      {Int(0) + Int(1) + Int(0), "ConfigClient::invalid response type ->0", 0},
      {Int(3) + Int(1) + Int(0), "ConfigClient::invalid response type ->3", 0},
      {Int(2) + Int(0) + Int(0), "ConfigClient::ParseResponse - invalid response code", 0},
      {Int(2) + Int(7) + Int(0), "ConfigClient::ParseResponse - invalid response code", 7},
      {Header(-1), "ConfigClient::ParseResponse - invalid count -1", 1},
  };
  for (const Case& c : cases) {
    NkConfigClient client(44, "m");
    const Exchange e = RunExchange(client, c.reply);
    EXPECT_FALSE(e.result);
    EXPECT_EQ(e.error, c.error);
    EXPECT_EQ(client.GetResponseCode(), c.code) << c.error;
    EXPECT_TRUE(client.GetResults().empty()) << c.error;
  }
}

TEST(ConfigClientTest, MalformedAnswersCostTimeBoundedByTheDeadlineAndNoMemory) {
  // A count of 0x7FFFFFFF and nothing behind it: the client waits for pairs
  // that never come, until its deadline, holding nothing.
  NkConfigClient silent(44, "m");
  Exchange e = RunExchange(silent, Header(0x7FFFFFFF), false, 300);
  EXPECT_FALSE(e.result);
  EXPECT_NE(e.error.find("timed out"), std::string::npos) << e.error;
  EXPECT_LT(e.seconds, 10.0);
  EXPECT_LT(e.largest, 64u * 1024);

  // A key announcing 0xFFFFFFFF bytes is refused when its length is read.
  NkConfigClient huge(44, "m");
  e = RunExchange(huge, Header(1) + Int(-1) + "abc", false, 5000);
  EXPECT_FALSE(e.result);
  EXPECT_EQ(e.error, "ConfigClient::ParseResponse - string of 4294967295 bytes exceeds the reply limit");
  EXPECT_LT(e.seconds, 2.5) << "refused at once, not at the deadline";
  EXPECT_LT(e.largest, 64u * 1024);

  // Within the limit but cut short by the peer: what arrived is all that
  // was allocated, and the broken exchange is reported, not thrown.
  NkConfigClient cut(44, "m");
  e = RunExchange(cut, Header(1) + Int(1000000) + std::string(100, 'x'), true, 5000);
  EXPECT_FALSE(e.result);
  EXPECT_EQ(e.error, "");
  EXPECT_LT(e.largest, 64u * 1024);
  EXPECT_TRUE(cut.GetResults().empty());

  // The whole reply is bounded, not only each string.
  NkConfigClient limited(44, "m");
  limited.SetReplyLimit(32);
  e = RunExchange(limited, Header(2) + DdpString("a") + DdpString(std::string(20, 'v')) + DdpString("b") + DdpString("w"), true);
  EXPECT_FALSE(e.result);
  EXPECT_NE(e.error.find("exceeds"), std::string::npos) << e.error;
}

}  // namespace
}  // namespace maild
}  // namespace norvak
