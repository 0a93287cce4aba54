#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nk_ddp_unit.h"
#include "nk_exception.h"
#include "nk_inet_socket_address.h"
#include "nk_ipc_error.h"
#include "nk_ipc_factory.h"
#include "nk_unix_socket.h"
#include "socket_test_util.h"
#include "temp_dir.h"

namespace norvak {
namespace ipc {
namespace {

using base::NkDeadline;
using base::NkTimeout;
using testing_util::LogCapture;
using testing_util::MakeSocketPair;

const NkTimeout kGenerous = NkTimeout::Milliseconds(10000);

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

TEST(DdpEncodingTest, ByteExact) {
  NkDdpUnit unit;
  auto encoded = [&unit](auto add) {
    unit.Clear();
    add();
    return unit.GetData();
  };
  EXPECT_EQ(Bytes({0xFF, 0xFF, 0xFF, 0xFF}), encoded([&] { unit.AddInt32(-1); }));
  EXPECT_EQ(Bytes({0, 0, 0, 1}), encoded([&] { unit.AddBool(true); }));
  EXPECT_EQ(Bytes({0, 0, 0, 0}), encoded([&] { unit.AddBool(false); }));
  EXPECT_EQ(Bytes({0, 0, 0, 0, 0, 0, 0, 1}), encoded([&] { unit.AddInt64(1); }));
  EXPECT_EQ(Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}),
            encoded([&] { unit.AddInt64(-2); }));
  EXPECT_EQ(Bytes({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}),
            encoded([&] { unit.AddInt64(0x0123456789ABCDEFLL); }));
  EXPECT_EQ(Bytes({0, 0, 0, 0}), encoded([&] { unit.AddString(""); }));
  EXPECT_EQ(Bytes({0, 0, 0, 3, 0x61, 0x62, 0x63}), encoded([&] { unit.AddString("abc"); }));
  EXPECT_EQ(Bytes({0, 0, 0, 2, 0, 0x61}), encoded([&] { unit.AddBuffer("\0a", 2); }));
  EXPECT_EQ(Bytes({0, 0, 0, 0}), encoded([&] { unit.AddVector({}); }));
  EXPECT_EQ(Bytes({0, 0, 0, 2, 0, 0, 0, 1, 0x61, 0, 0, 0, 0}),
            encoded([&] { unit.AddVector({"a", ""}); }));
  EXPECT_EQ("rawraw", encoded([&] { unit.AddRaw("raw"); unit.AddRaw("raw", 3); }));
  NkDdpUnit other;
  other.AddInt32(7);
  EXPECT_EQ(Bytes({0, 0, 0, 7}), encoded([&] { unit.AddUnit(other); }));
}

TEST(DdpEncodingTest, MissingConnectionOrBuffer) {
  NkDdpUnit unit;
  unit.AddInt32(1);
  try {
    unit.Push();
    FAIL();
  } catch (const base::NkParameterError& e) {
    EXPECT_STREQ("DdpUnit::Push: the 'connection' parameter contains invalid value 'null'",
                 e.what());
  }
  EXPECT_EQ(4u, unit.GetData().size());
  EXPECT_THROW(unit.GetString(), base::NkParameterError);
  EXPECT_THROW(unit.GetRemoteAddressAsString(), base::NkParameterError);
  try {
    unit.GetBuffer(nullptr, 12);
    FAIL();
  } catch (const base::NkParameterError& e) {
    EXPECT_STREQ("DdpUnit::GetBuffer(12): the 'buffer' parameter contains invalid value 'null'",
                 e.what());
  }
}

// Both ends of one connection, over the three transports the suite uses.
enum class Transport { kSocketPair, kUnix, kTcp };

class DdpRoundTripTest : public ::testing::TestWithParam<Transport> {
 protected:
  void SetUp() override {
    switch (GetParam()) {
      case Transport::kSocketPair: {
        auto pair = MakeSocketPair();
        near_ = pair.first;
        far_ = pair.second;
        return;
      }
      case Transport::kUnix:
        Listen("local:" + dir_.path() + "/ddp.sock");
        break;
      case Transport::kTcp:
        Listen("inet:0@127.0.0.1");
        break;
    }
    NkIpcAddressPtr address = listener_->GetLocalAddress();
    near_ = CreateIPC(NkIpcAddressPtr(), address);
    ASSERT_TRUE(near_->Connect(kGenerous));
    far_ = CreateIPC(address, NkIpcAddressPtr());
    ASSERT_TRUE(listener_->Accept(kGenerous, far_.get()));
  }
  void Listen(const std::string& spec) {
    listener_ = CreateIPC(spec, "");
    listener_->SetServer(true);
    listener_->Create();
    listener_->Listen(4);
  }
  // A unit on each end with a deadline that a hang would hit.
  void Attach(NkDdpUnit& sender, NkDdpUnit& receiver, NkTimeout timeout = kGenerous) {
    sender.SetConnection(near_);
    receiver.SetConnection(far_);
    sender.SetDeadline(NkDeadline(timeout));
    receiver.SetDeadline(NkDeadline(timeout));
  }

  TempDir dir_;
  NkIfIPCPtr listener_;
  NkIfIPCPtr near_;
  NkIfIPCPtr far_;
};

TEST_P(DdpRoundTripTest, EveryValueKind) {
  NkDdpUnit out, in;
  Attach(out, in);
  const std::string binary("a\0b\xff", 4);
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
  ASSERT_TRUE(out.Push());
  EXPECT_TRUE(out.GetData().empty());
  EXPECT_TRUE(out.Push());  // nothing left: sends nothing

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

TEST_P(DdpRoundTripTest, LargeStringArrivesWhole) {
  NkDdpUnit out, in;
  Attach(out, in);
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131);
  std::thread sender([&] {
    out.AddString(big);
    out.Push();
  });
  const std::string got = in.GetString();
  sender.join();
  EXPECT_TRUE(got == big);
}

TEST_P(DdpRoundTripTest, Files) {
  const std::string path = dir_.path() + "/payload";
  const std::string content = "file content\n";
  std::ofstream(path) << content;
  NkDdpUnit out, in;
  Attach(out, in);

  // Local mode leaves the path and 0 in the buffer and sends nothing.
  out.AddFile(path, true);
  NkDdpUnit expected;
  expected.AddString(path);
  expected.AddInt32(0);
  EXPECT_EQ(expected.GetData(), out.GetData());
  out.Clear();

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
    near_->Close();
  });
  EXPECT_EQ("trickled", in.GetString());
  EXPECT_EQ(-5, in.GetInt64());
  EXPECT_THROW(in.GetString(), NkIpcErrorClosedByPeer);
  writer.join();
}

TEST_P(DdpRoundTripTest, AnnouncedLengthWithoutBytesTimesOut) {
  NkDdpUnit out, in;
  Attach(out, in, NkTimeout::Milliseconds(300));
  out.AddInt32(-1);  // a length or count of 0xFFFFFFFF
  out.AddInt32(-1);
  out.Push();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(in.GetString(), base::NkTimedOut);
  std::vector<std::string> values;
  EXPECT_THROW(in.GetVector(values), base::NkTimedOut);
  EXPECT_LT(testing_util::SecondsSince(start), 5.0);
  // The deadline has passed: the next call gives up at once.
  EXPECT_THROW(in.GetInt32(), base::NkTimedOut);
}

INSTANTIATE_TEST_SUITE_P(Transports, DdpRoundTripTest,
                         ::testing::Values(Transport::kSocketPair, Transport::kUnix,
                                           Transport::kTcp));

// A connection whose sends fail once.
class FlakySocket : public NkUnixSocket {
 public:
  using NkUnixSocket::Send;
  bool Send(const std::string& data, const NkTimeout& timeout) override {
    if (fail_next_) {
      fail_next_ = false;
      return false;
    }
    return NkUnixSocket::Send(data, timeout);
  }
  bool fail_next_ = true;
};

TEST(DdpPushTest, FailedPushKeepsTheBuffer) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  auto flaky = std::make_shared<FlakySocket>();
  flaky->SetHandle(fds[0]);
  flaky->ApplyOptions();
  NkDdpUnit unit;
  unit.SetConnection(flaky);
  unit.AddString("again");
  try {
    unit.Push();
    FAIL();
  } catch (const base::NkException& e) {
    EXPECT_STREQ("Push: Send", e.what());
  }
  const std::string kept = unit.GetData();
  EXPECT_EQ(9u, kept.size());
  EXPECT_TRUE(unit.Push());
  std::string got(9, '\0');
  EXPECT_EQ(9, read(fds[1], &got[0], 9));
  EXPECT_EQ(kept, got);
  close(fds[1]);
}

}  // namespace
}  // namespace ipc
}  // namespace norvak
