// ReloadComp (8200) and Update (8204): the bytes on the wire, what the
// servers make of hostile or broken requests, and who the peer is.
//
// The global allocator is replaced to see the largest single request made
// while a server reads what a peer announced.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/nk_ddp_unit.h"
#include "ipc/nk_exception.h"
#include "ipc/session_test_support.h"
#include "protocols/nk_peer.h"
#include "protocols/nk_reload_comp_client.h"
#include "protocols/nk_reload_comp_server.h"
#include "protocols/nk_update_client.h"
#include "protocols/nk_update_server.h"

#include "largest_allocation.h"

namespace norvak {
namespace maild {
namespace {

using ipc::NkDdpUnit;
using ipc::testing_support::MakeSocketPair;
using ipc::testing_support::SecondsSince;
using ipc::testing_support::Wire;

TEST(ReloadCompTest, ClientWritesTheCountThenThePids) {
  NkDdpUnit unit;
  NkReloadCompClient client({4711, -2});
  ASSERT_TRUE(client.MakeRequest(unit));
  EXPECT_EQ(unit.GetData(), BigEndian32(2) + BigEndian32(4711) + BigEndian32(0xFFFFFFFEu));
  EXPECT_FALSE(client.GetResult());

  NkDdpUnit empty;
  NkReloadCompClient none;
  ASSERT_TRUE(none.MakeRequest(empty));
  EXPECT_EQ(empty.GetData(), BigEndian32(0));
  EXPECT_EQ(none.GetId(), 8200u);
  EXPECT_TRUE(none.IsFinished());
}

TEST(ReloadCompTest, ServerHandsThePidsOnAndAnswersNothing) {
  std::vector<std::vector<int32_t>> calls;
  bool verdict = true;
  NkReloadCompServer server([&](const std::vector<int32_t>& pids, const ipc::NkIfIPC*) {
    calls.push_back(pids);
    return verdict;
  });
  Wire wire;
  wire.Send(BigEndian32(3) + BigEndian32(10) + BigEndian32(20) + BigEndian32(30));
  EXPECT_TRUE(server.Process(wire.request, wire.reply));
  wire.Send(BigEndian32(0));
  EXPECT_TRUE(server.Process(wire.request, wire.reply));
  verdict = false;
  wire.Send(BigEndian32(1) + BigEndian32(5));
  EXPECT_FALSE(server.Process(wire.request, wire.reply)) << "the handler's no drops the connection";

  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0], (std::vector<int32_t>{10, 20, 30}));
  EXPECT_TRUE(calls[1].empty());
  EXPECT_EQ(calls[2], (std::vector<int32_t>{5}));
  EXPECT_TRUE(wire.reply.GetData().empty());
}

TEST(ReloadCompTest, ServerRefusesAbsurdCountsAndStrangersWithoutReadingOn) {
  int calls = 0;
  std::vector<std::string> asked;
  std::string verdict;
  NkReloadCompServer server(
      [&](const std::vector<int32_t>&, const ipc::NkIfIPC*) {
        ++calls;
        return true;
      },
      [&](const ipc::NkIfIPC& connection) {
        asked.push_back(connection.GetDescription());
        return verdict;
      });
  for (uint32_t count : {0xFFFFFFFFu, static_cast<uint32_t>(NkReloadCompServer::kMaxPids) + 1}) {
    Wire wire;
    wire.Send(BigEndian32(count) + "rest");
    g_largest = 0;
    EXPECT_FALSE(server.Process(wire.request, wire.reply)) << count;
    EXPECT_LT(g_largest.load(), 4096u) << count;
  }

  // A refused peer: nothing of its request is read.
  verdict = "refused";
  Wire wire;
  wire.Send(BigEndian32(1) + BigEndian32(42));
  EXPECT_FALSE(server.Process(wire.request, wire.reply));
  char left[8];
  EXPECT_EQ(recv(wire.far->GetHandle(), left, sizeof(left), MSG_DONTWAIT), 8);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(asked.size(), 3u);
}

TEST(UpdateTest, ClientAndServerSpeakTheWireFormat) {
  NkDdpUnit unit;
  NkUpdateClient client("/var/pkg", "-x", "20-nvunix");
  ASSERT_TRUE(client.MakeRequest(unit));
  EXPECT_EQ(unit.GetData(), DdpString("/var/pkg") + DdpString("-x") + DdpString("20-nvunix"));
  EXPECT_EQ(client.GetId(), 8204u);

  std::vector<std::string> seen;
  NkUpdateServer server(
      [&](const std::string& dir, const std::string& arg, const std::string& product) {
        seen = {dir, arg, product};
        return NkUpdateResult{product == "good", product == "good" ? "" : "bad product"};
      });
  Wire wire;
  wire.Send(unit.GetData());
  ASSERT_TRUE(server.Process(wire.request, wire.reply));
  EXPECT_EQ(seen, (std::vector<std::string>{"/var/pkg", "-x", "20-nvunix"}));
  EXPECT_EQ(wire.reply.GetData(), BigEndian32(0) + DdpString("bad product"));

  // The client reads such an answer back.
  wire.Send(BigEndian32(1) + DdpString("") + BigEndian32(7) + DdpString("done"));
  NkDdpUnit answer;
  answer.SetConnection(wire.far);
  ASSERT_TRUE(client.ProcessReply(answer));
  EXPECT_TRUE(client.IsOk());
  EXPECT_EQ(client.GetMessage(), "");
  ASSERT_TRUE(client.ProcessReply(answer));
  EXPECT_TRUE(client.IsOk()) << "any non-zero is success";
  EXPECT_EQ(client.GetMessage(), "done");
}

TEST(UpdateTest, RefusedOrOversizedRequestsAreReadToTheEndAndAnsweredAsFailed) {
  int calls = 0;
  std::string verdict = "update refused: not you";
  NkUpdateServer server(
      [&](const std::string&, const std::string&, const std::string&) {
        ++calls;
        return NkUpdateResult{true, ""};
      },
      [&](const ipc::NkIfIPC&) { return verdict; });

  Wire wire;
  // A refused request, then the first bytes of whatever the peer sends next.
  wire.Send(DdpString("/pkg") + DdpString(std::string(200000, 'a')) + DdpString("p") + "NEXT");
  g_largest = 0;
  ASSERT_TRUE(server.Process(wire.request, wire.reply));
  EXPECT_LT(g_largest.load(), 16u * 1024) << "a refused request is not kept";
  EXPECT_EQ(wire.reply.GetData(), BigEndian32(0) + DdpString("update refused: not you"));
  char next[4];
  ASSERT_EQ(recv(wire.far->GetHandle(), next, sizeof(next), MSG_DONTWAIT), 4);
  EXPECT_EQ(std::string(next, 4), "NEXT");

  verdict.clear();
  wire.reply.Clear();
  const std::string tooLong(NkUpdateServer::kMaxStringLength + 1, 'b');
  wire.Send(DdpString("/pkg") + DdpString(tooLong) + DdpString("p"));
  g_largest = 0;
  ASSERT_TRUE(server.Process(wire.request, wire.reply));
  EXPECT_LT(g_largest.load(), 16u * 1024);
  EXPECT_EQ(
      wire.reply.GetData(),
      BigEndian32(0) + DdpString("update request refused: a request string is longer than 65536 bytes"));
  EXPECT_EQ(calls, 0);

  // The longest string that is kept still reaches the handler.
  wire.reply.Clear();
  wire.Send(DdpString("/pkg") + DdpString(std::string(NkUpdateServer::kMaxStringLength, 'c')) + DdpString("p"));
  ASSERT_TRUE(server.Process(wire.request, wire.reply));
  EXPECT_EQ(calls, 1);
}

TEST(UpdateTest, AnnouncedLengthWithoutBytesCostsTheDeadlineAndNoMemory) {
  NkUpdateServer server([](const std::string&, const std::string&, const std::string&) {
    return NkUpdateResult{true, ""};
  });
  Wire wire;
  wire.request.SetDeadline(base::NkDeadline(base::NkTimeout::Milliseconds(300)));
  wire.Send(BigEndian32(0xFFFFFFFFu) + "half");
  g_largest = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(server.Process(wire.request, wire.reply), base::NkTimedOut);
  EXPECT_LT(g_largest.load(), 16u * 1024);
  EXPECT_LT(SecondsSince(start), 10.0);
}

TEST(UpdateTest, TheAnswerGetsItsOwnTimeAfterALongHandler) {
  // The request's deadline passes while the handler works, and the answer
  // is too big for the socket buffer: it is written as the peer reads it.
  const std::string big(1 << 20, 'm');
  NkUpdateServer server([&](const std::string&, const std::string&, const std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return NkUpdateResult{true, big};
  });
  server.SetReplyTimeout(base::NkTimeout::Seconds(20));
  Wire wire;
  wire.request.SetDeadline(base::NkDeadline(base::NkTimeout::Milliseconds(100)));
  wire.reply.SetDeadline(base::NkDeadline(base::NkTimeout::Milliseconds(100)));
  wire.Send(DdpString("/pkg") + DdpString("a") + DdpString("p"));
  ASSERT_TRUE(server.Process(wire.request, wire.reply));
  std::string answer;
  std::thread reader([&] {
    NkDdpUnit in;
    in.SetConnection(wire.near);
    in.SetDeadline(base::NkDeadline(base::NkTimeout::Seconds(20)));
    try {
      if (in.GetInt32() == 1) answer = in.GetString();
    } catch (const std::exception&) {
    }
  });
  bool pushed = false;
  try {
    pushed = wire.reply.Push();
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
  reader.join();
  EXPECT_TRUE(pushed);
  EXPECT_EQ(answer.size(), big.size());
}

TEST(PeerTest, KernelTellsLocalCredentialsAndInetAddresses) {
  auto pair = MakeSocketPair();
  const NkPeer local = NkIdentifyPeer(pair.first->GetHandle());
  EXPECT_EQ(local.transport, NkPeer::kLocal);
  ASSERT_TRUE(local.has_credentials);
  EXPECT_EQ(local.uid, geteuid());
  EXPECT_EQ(local.gid, getegid());
  EXPECT_NE(local.ToString().find("uid " + std::to_string(geteuid())), std::string::npos);

  ipc::NkIfIPCPtr listener = ipc::testing_support::Listen("inet:0@127.0.0.1");
  ipc::NkIpcAddressPtr where = listener->GetLocalAddress();
  ipc::NkIfIPCPtr near = ipc::CreateIPC(ipc::NkIpcAddressPtr(), where);
  ipc::NkIfIPCPtr far = ipc::CreateIPC(where, ipc::NkIpcAddressPtr());
  ASSERT_TRUE(near->Connect(ipc::testing_support::kGenerous));
  ASSERT_TRUE(listener->Accept(ipc::testing_support::kGenerous, far.get()));
  const NkPeer inet = NkIdentifyPeer(far->GetHandle());
  EXPECT_EQ(inet.transport, NkPeer::kInet);
  EXPECT_TRUE(inet.loopback);
  EXPECT_EQ(inet.address.rfind("127.0.0.1:", 0), 0u) << inet.address;
  EXPECT_EQ(inet.Key(), "uid:" + std::to_string(geteuid())) << inet.ToString();

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_EQ(NkIdentifyPeer(fds[0]).transport, NkPeer::kUnknown) << "a pipe is nobody";
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(NkIdentifyPeer(-1).transport, NkPeer::kUnknown);
}

}  // namespace
}  // namespace maild
}  // namespace norvak
