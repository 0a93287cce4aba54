#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/nk_ddp_unit.h"
#include "ipc/nk_exception.h"
#include "ipc/nk_inet_socket_address.h"
#include "ipc/nk_ipc_error.h"
#include "ipc/nk_ipc_factory.h"
#include "ipc/nk_unique_fd.h"
#include "ipc/nk_unix_socket.h"
#include "session_test_support.h"
#include "temp_dir.h"

namespace norvak {
namespace ipc {
namespace {

using base::NkDeadline;
using base::NkTimeout;
using testing_support::ErrorText;
using testing_support::LogCapture;
using testing_support::Transport;
using testing_support::kGenerous;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

TEST(DdpEncodingTest, ByteExact) {
  NkDdpUnit other;
  other.AddInt32(7);
  using Add = std::function<void(NkDdpUnit&)>;
  for (const auto& c : std::vector<std::pair<Add, std::string>>{
           {[](NkDdpUnit& u) { u.AddInt32(-1); }, Bytes({0xFF, 0xFF, 0xFF, 0xFF})},
           {[](NkDdpUnit& u) { u.AddBool(true); }, Bytes({0, 0, 0, 1})},
           {[](NkDdpUnit& u) { u.AddBool(false); }, Bytes({0, 0, 0, 0})},
           {[](NkDdpUnit& u) { u.AddInt64(1); }, Bytes({0, 0, 0, 0, 0, 0, 0, 1})},
           {[](NkDdpUnit& u) { u.AddInt64(-2); },
            Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE})},
           {[](NkDdpUnit& u) { u.AddInt64(0x0123456789ABCDEFLL); },
            Bytes({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF})},
           {[](NkDdpUnit& u) { u.AddString(""); }, Bytes({0, 0, 0, 0})},
           {[](NkDdpUnit& u) { u.AddString("abc"); }, Bytes({0, 0, 0, 3, 0x61, 0x62, 0x63})},
           {[](NkDdpUnit& u) { u.AddBuffer("\0a", 2); }, Bytes({0, 0, 0, 2, 0, 0x61})},
           {[](NkDdpUnit& u) { u.AddVector({}); }, Bytes({0, 0, 0, 0})},
           {[](NkDdpUnit& u) { u.AddVector({"a", ""}); },
            Bytes({0, 0, 0, 2, 0, 0, 0, 1, 0x61, 0, 0, 0, 0})},
           {[](NkDdpUnit& u) { u.AddRaw("raw"); u.AddRaw("raw", 3); }, "rawraw"},
           {[&other](NkDdpUnit& u) { u.AddUnit(other); }, Bytes({0, 0, 0, 7})},
           // Local mode leaves the path and a zero size, and reads no file.
           {[](NkDdpUnit& u) { u.AddFile("/p", true); }, Bytes({0, 0, 0, 2, '/', 'p', 0, 0, 0, 0})},
       }) {
    NkDdpUnit unit;
    c.first(unit);
    EXPECT_EQ(c.second, unit.GetData());
  }
}

TEST(DdpEncodingTest, MissingConnectionOrBuffer) {
  NkDdpUnit unit;
  unit.AddInt32(1);
  EXPECT_EQ("DdpUnit::Push: the 'connection' parameter contains invalid value 'null'",
            ErrorText([&] { unit.Push(); }));
  EXPECT_EQ(4u, unit.GetData().size());
  EXPECT_THROW(unit.GetString(), base::NkParameterError);
  EXPECT_THROW(unit.GetRemoteAddressAsString(), base::NkParameterError);
  EXPECT_EQ("DdpUnit::GetBuffer(12): the 'buffer' parameter contains invalid value 'null'",
            ErrorText([&] { unit.GetBuffer(nullptr, 12); }));
}

class DdpRoundTripTest : public ::testing::TestWithParam<Transport> {
 protected:
  void SetUp() override { connection_ = testing_support::Connect(GetParam(), dir_.path()); }
  // A unit on each end with a deadline that a hang would hit.
  void Attach(NkDdpUnit& sender, NkDdpUnit& receiver) {
    sender.SetConnection(connection_.near);
    receiver.SetConnection(connection_.far);
    sender.SetDeadline(NkDeadline(kGenerous));
    receiver.SetDeadline(NkDeadline(kGenerous));
  }

  TempDir dir_;
  testing_support::Connection connection_;
};

TEST_P(DdpRoundTripTest, EveryValueKind) {
  NkDdpUnit out, in;
  Attach(out, in);
  const std::string binary("a\0b\xff", 4);
  // Far more than a socket buffer holds: sent and read in many pieces.
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131);
  const std::vector<std::string> list = {"first", "", binary, std::string(5000, 'v')};
  out.AddBool(true);
  out.AddBool(false);
  out.AddInt32(INT32_MIN);
  out.AddInt32(-1);
  out.AddInt64(INT64_MIN);
  out.AddInt64(0x7FEDCBA987654321LL);
  out.AddString("");
  out.AddString(binary);
  out.AddBuffer(binary.data(), binary.size());
  out.AddVector(list);
  out.AddRaw("RAW");
  out.AddString(big);
  std::thread sender([&] {
    EXPECT_TRUE(out.Push());
    EXPECT_TRUE(out.GetData().empty());
    EXPECT_TRUE(out.Push());  // nothing left: sends nothing
  });

  EXPECT_TRUE(in.GetBool());
  EXPECT_FALSE(in.GetBool());
  EXPECT_EQ(INT32_MIN, in.GetInt32());
  EXPECT_EQ(-1, in.GetInt32());
  EXPECT_EQ(INT64_MIN, in.GetInt64());
  EXPECT_EQ(0x7FEDCBA987654321LL, in.GetInt64());
  EXPECT_EQ("", in.GetString());
  EXPECT_EQ(binary, in.GetString());
  EXPECT_EQ(binary, in.GetString());
  std::vector<std::string> got = {"stale"};
  in.GetVector(got);
  EXPECT_EQ(list, got);
  std::string raw(3, '\0');
  EXPECT_TRUE(in.GetBuffer(raw));
  EXPECT_EQ("RAW", raw);
  EXPECT_TRUE(in.GetString() == big);
  sender.join();

  // A zero count empties the output.
  out.AddVector({});
  out.Push();
  in.GetVector(got);
  EXPECT_TRUE(got.empty());
  if (GetParam() == Transport::kTcp) {
    EXPECT_EQ(0u, in.GetLocalAddressAsString().find("inet:127.0.0.1:"));
    EXPECT_EQ(in.GetRemoteAddressAsString(), out.GetLocalAddressAsString());
  }
}

TEST_P(DdpRoundTripTest, Files) {
  const std::string path = dir_.path() + "/payload";
  const std::string content = "file content\n";
  std::ofstream(path) << content;
  NkDdpUnit out, in;
  Attach(out, in);

  // Remote mode: path, size, content, in that order.
  out.AddInt32(42);
  ASSERT_TRUE(out.AddFile(path, false));
  EXPECT_TRUE(out.GetData().empty());
  ASSERT_TRUE(out.AddStringFromFile(path));
  ASSERT_TRUE(out.SendFile(path, 5, 7));
  EXPECT_EQ(42, in.GetInt32());
  EXPECT_EQ(path, in.GetString());
  EXPECT_EQ(static_cast<int32_t>(content.size()), in.GetInt32());
  std::string body(content.size(), '\0');
  EXPECT_TRUE(in.GetBuffer(body));
  EXPECT_EQ(content, body);
  EXPECT_EQ(content, in.GetString());
  std::string region(7, '\0');
  EXPECT_TRUE(in.GetBuffer(&region[0], 7));
  EXPECT_EQ("content", region);

  LogCapture log;
  const std::string missing = dir_.path() + "/missing";
  EXPECT_THROW(out.AddFile(missing, false), base::NkSystemError);
  EXPECT_EQ(1, log.Count(base::NK_LOG_ERROR, "AddFile(" + missing +
                                                 " 0) - failed to stat file: No such file or directory"));
  NkDdpUnit path_only;
  path_only.AddString(missing);
  EXPECT_EQ(path_only.GetData(), out.GetData());
  EXPECT_THROW(out.AddStringFromFile(missing), base::NkSystemError);
  EXPECT_EQ(1, log.Count(base::NK_LOG_ERROR, "AddStringFromFile(" + missing + ") - failed to stat"));
  // A directory has a size but no bytes to send; refused before anything goes out.
  out.Clear();
  EXPECT_THROW(out.AddStringFromFile(dir_.path()), base::NkSystemError);
  EXPECT_TRUE(out.GetData().empty());
}

TEST_P(DdpRoundTripTest, PeerTricklingOrClosingHalfWay) {
  NkDdpUnit out, in;
  Attach(out, in);
  out.AddString("trickled");
  out.AddInt64(-5);
  const std::string wire = out.GetData();
  std::thread writer([&] {
    for (char c : wire) {
      out.Clear();
      out.AddRaw(&c, 1);
      out.Push();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Half of a string, then the peer goes away.
    out.AddInt32(10);
    out.AddRaw("half");
    out.Push();
    connection_.near->Close();
  });
  EXPECT_EQ("trickled", in.GetString());
  EXPECT_EQ(-5, in.GetInt64());
  EXPECT_THROW(in.GetString(), NkIpcErrorClosedByPeer);
  writer.join();
}

INSTANTIATE_TEST_SUITE_P(Transports, DdpRoundTripTest,
                         ::testing::Values(Transport::kSocketPair, Transport::kUnix,
                                           Transport::kTcp));

// A connection whose sends fail once.
class FlakySocket : public NkUnixSocket {
 public:
  using NkUnixSocket::Send;
  bool Send(const std::string& data, const NkTimeout& timeout) override {
    if (std::exchange(fail_next_, false)) return false;
    return NkUnixSocket::Send(data, timeout);
  }
  bool fail_next_ = true;
};

TEST(DdpPushTest, FailedPushKeepsTheBuffer) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  const base::UniqueFd peer(fds[1]);
  auto flaky = std::make_shared<FlakySocket>();
  flaky->SetHandle(fds[0]);
  flaky->ApplyOptions();
  NkDdpUnit unit;
  unit.SetConnection(flaky);
  unit.AddString("again");
  EXPECT_EQ("Push: Send", ErrorText([&] { unit.Push(); }));
  const std::string kept = unit.GetData();
  EXPECT_EQ(9u, kept.size());
  EXPECT_TRUE(unit.Push());
  std::string got(9, '\0');
  EXPECT_EQ(9, read(peer.get(), &got[0], 9));
  EXPECT_EQ(kept, got);
}

}  // namespace
}  // namespace ipc
}  // namespace norvak
