#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/nk_exception.h"
#include "ipc/nk_ipc_error.h"
#include "ipc/nk_session.h"
#include "ipc/nk_session_pool_manager.h"
#include "session_test_support.h"
#include "temp_dir.h"

namespace norvak {
namespace ipc {
namespace {

using base::NkTimeout;
using testing_support::AddOne;
using testing_support::AddOneClient;
using testing_support::AddOneServer;
using testing_support::ClientPool;
using testing_support::ErrorText;
using testing_support::Eventually;
using testing_support::LogCapture;
using testing_support::RawUnixSocket;
using testing_support::Server;
using testing_support::Within;

// Unix socket (false) or TCP loopback (true).
class SessionExchangeTest : public ::testing::TestWithParam<bool> {
 protected:
  std::string Address() {
    if (!GetParam()) return "local:" + dir_.path() + "/server.sock";
    return testing_support::FreeTcpAddress();
  }
  TempDir dir_;
};

TEST_P(SessionExchangeTest, OnePersistentConnectionThenManyThreadsSharingTheSession) {
  const std::string address = Address();
  AddOneServer add_one(8195);
  Server server(address, &add_one, 4);
  auto pool = ClientPool(ConnSettings(0, 3, 0));
  NkClientSession client(pool);
  client.Open(address);
  for (int32_t i = 0; i < 5; ++i) ASSERT_EQ(i * 10 + 1, AddOne(client, i * 10, 8195));
  EXPECT_EQ(1u, pool->GetTotal());

  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        const int32_t value = t * 1000 + i;
        try {
          if (AddOne(client, value, 8195, 20) != value + 1) ++wrong;
        } catch (const std::exception&) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(5 + 8 * 40, add_one.calls.load());
  EXPECT_LE(pool->GetTotal(), 3u);
  EXPECT_EQ(0u, pool->GetBusyCount());
}

INSTANTIATE_TEST_SUITE_P(UnixAndTcp, SessionExchangeTest, ::testing::Bool());

using SessionTest = testing_support::UnixSessionTest;

TEST_F(SessionTest, WireFormOfAnExchange) {
  // The identifier travels big-endian before the request; identifier 0 is
  // neither sent nor read.
  for (uint32_t id : {0u, 0x2008u}) {
    AddOneServer add_one(id);
    Server server(address());
    if (id == 0) {
      server.Serve(&add_one);
    } else {
      server.session().Register(&add_one);
    }
    server.Start();
    RawUnixSocket raw(path());
    ASSERT_TRUE(raw.ok());
    ASSERT_TRUE(raw.Send((id ? BigEndian32(id) : "") + BigEndian32(99)));
    EXPECT_EQ(BigEndian32(100), raw.ReadAll(4)) << id;
    NkClientSession client(ClientPool());
    client.Open(address());
    EXPECT_EQ(8, AddOne(client, 7, id));
  }
}

TEST_F(SessionTest, RefusedIdentifiersDropOnlyThatConnection) {
  struct Case {
    std::vector<uint32_t> registered;
    bool given;  // serves the first protocol only, whatever the peer asks
    std::string line;
  };
  for (const Case& c : std::vector<Case>{
           {{8200, 8201}, false, "server: unsupported protocol ID -> 8204"},
           {{8201}, true, "server: wrong protocol ID (received=8204, supported=8201)"},
           {{}, false, "server: supported protocols were not been defined"},
       }) {
    SCOPED_TRACE(c.line);
    LogCapture log;
    std::vector<std::unique_ptr<AddOneServer>> protocols;
    Server server(address());
    for (uint32_t id : c.registered) {
      protocols.push_back(std::make_unique<AddOneServer>(id));
      if (c.given) {
        server.Serve(protocols.back().get());
      } else {
        server.session().Register(protocols.back().get());
      }
    }
    server.Start();
    NkClientSession client(ClientPool(ConnSettings(0, 1, 0)));
    client.Open(address());
    EXPECT_EQ(-1, AddOne(client, 1, 8204));
    EXPECT_TRUE(log.Contains(base::NK_LOG_ERROR, c.line));
    if (!c.registered.empty()) {
      EXPECT_EQ(2, AddOne(client, 1, 8201));
      EXPECT_EQ(1, protocols.back()->calls.load());
    }
  }
}

TEST_F(SessionTest, RegistrationKeepsTheFirstProtocolOfAnIdentifier) {
  LogCapture log;
  AddOneServer first(8200);
  AddOneServer second(8200);
  Server server(address(), &first);
  EXPECT_FALSE(server.session().Register(&second));
  EXPECT_TRUE(log.Contains(base::NK_LOG_ALERT,
                           "S-Session::Register - a protocol (id=8200) already has been registred"));
  NkClientSession client(ClientPool());
  client.Open(address());
  ASSERT_EQ(2, AddOne(client));
  EXPECT_EQ(1, first.calls.load());
  EXPECT_EQ(0, second.calls.load());

  EXPECT_TRUE(server.session().Deregister(&second));
  EXPECT_FALSE(server.session().Deregister(&first));
  EXPECT_TRUE(log.Contains(base::NK_LOG_ALERT,
                           "S-Session::Deregister - a protocol (id=8200) has not been registred"));
  // Closing the server removes its socket file.
  EXPECT_EQ(0, access(path().c_str(), F_OK));
  server.Stop();
  EXPECT_NE(0, access(path().c_str(), F_OK));
}

TEST_F(SessionTest, ServerKeepsServingAfterMisbehavingClients) {
  AddOneServer add_one(8200);
  Server server(address());
  server.SetExchangeTimeout(NkTimeout::Milliseconds(500));
  server.session().Register(&add_one);
  server.Start();
  {
    RawUnixSocket garbage(path());
    garbage.Send("\xde\xad\xbe\xef garbage");
    EXPECT_EQ("", garbage.ReadAll());  // dropped
  }
  RawUnixSocket(path()).Send(BigEndian32(8200) + std::string("\0\0", 2));  // half a value
  RawUnixSocket{path()};                                                  // silent
  RawUnixSocket stalled(path());
  stalled.Send(BigEndian32(8200));  // and never the value: the exchange times out

  NkClientSession client(ClientPool());
  client.Open(address());
  for (int i = 0; i < 3; ++i) ASSERT_EQ(i + 1, AddOne(client, i));
}

// Wants a 64-byte string and answers with more than the socket buffers hold.
class BulkServer : public AddOneServer {
 public:
  BulkServer() : AddOneServer(8200) {}
  bool Process(NkDdpUnit& request, NkDdpUnit& reply) override {
    request.GetString();
    ++calls;
    return reply.AddRaw(std::string(4 << 20, 'x'));
  }
};

TEST_F(SessionTest, SlowPeersAreClosedAtTheDeadlineAndFreeTheirThread) {
  BulkServer bulk;
  AddOneServer add_one(8201);
  Server server(address());  // one thread
  server.SetExchangeTimeout(NkTimeout::Seconds(60));
  server.session().SetTimeout(NkTimeout::Seconds(1));
  server.session().Register(&bulk);
  server.session().Register(&add_one);
  server.Start();

  RawUnixSocket dribbler(path());
  ASSERT_TRUE(dribbler.Send(BigEndian32(8200) + BigEndian32(64)));
  int sent = 0;
  // A byte a second until the server hangs up.
  for (pollfd hup{dribbler.fd(), POLLIN, 0}; sent < 64 && poll(&hup, 1, 1000) == 0; ++sent) {
    ASSERT_EQ(1, send(dribbler.fd(), "a", 1, MSG_NOSIGNAL));
  }
  EXPECT_LT(sent, 64);
  EXPECT_EQ("", dribbler.ReadAll());

  RawUnixSocket deaf(path());  // never reads its answer
  ASSERT_TRUE(deaf.Send(BigEndian32(8200) + DdpString("")));
  ASSERT_TRUE(Eventually([&] { return bulk.calls == 1; }));
  NkClientSession client(ClientPool());
  client.Open(address());
  EXPECT_EQ(2, AddOne(client, 1, 8201, 60));
  EXPECT_LT(deaf.ReadAll(8 << 20).size(), 4u << 20);
}

TEST_F(SessionTest, MisuseIsRefusedWithItsTexts) {
  NkClientSession client(ClientPool());
  LogCapture log;
  for (const auto& c : std::vector<std::pair<std::function<void()>, std::string>>{
           {[] { NkClientSession session(nullptr); },
            "Session::ctor: the 'PoolManager' parameter contains invalid value 'null'"},
           {[&] { client.Execute(nullptr, Within(1)); },
            "ClientSession::process: the 'theProto' parameter is invalid"},
           {[&] { Server(address()).session().Register(nullptr); },
            "ServerSession::Register: the 'theProto' parameter contains invalid value 'null'"},
           // An unreachable server fails the open of a pool that connects eagerly.
           {[&] { client.Open(address()); },
            "SessionState::Open - cannot initialize connections pool"},
       }) {
    EXPECT_EQ(c.second, ErrorText(c.first));
  }
  EXPECT_THROW(client.Open(std::vector<std::string>{address(), "bogus"}), NkIpcError);
  EXPECT_TRUE(log.Contains(base::NK_LOG_ERROR, "can`t create incorrect address: bogus"));
  EXPECT_EQ("Initial State", client.GetStateName());
}

TEST_F(SessionTest, LazyPoolOpensWithoutServerAndConnectsLater) {
  // Minimum 0: connections are made when asked for, so the open succeeds
  // and the exchange reports the connect failure.
  NkClientSession lazy(ClientPool(ConnSettings(0, 1, 0)));
  lazy.Open(address());
  EXPECT_THROW(AddOne(lazy, 1, 8200, 5), base::NkSystemError);
  AddOneServer add_one(8200);
  Server server(address(), &add_one);
  EXPECT_EQ(2, AddOne(lazy));
}

class StateTest : public testing_support::UnixSessionTest {
 protected:
  AddOneServer add_one_{8200};
  Server server_{address(), &add_one_};
  NkClientSession client_{ClientPool()};
};

TEST_F(StateTest, OnlyAnOpenedSessionHandsOutConnections) {
  EXPECT_EQ("Initial State", client_.GetStateName());
  EXPECT_EQ("Initial State: A session state doesn't allows to aquire connections",
            ErrorText([&] { AddOne(client_); }));
  // Closing or resuming a session that never opened changes nothing.
  client_.Close();
  client_.Resume();
  EXPECT_EQ("Initial State", client_.GetStateName());

  client_.Open(address());
  EXPECT_EQ("Opened State", client_.GetStateName());
  ASSERT_EQ(2, AddOne(client_));
  client_.Close();
  EXPECT_EQ("Closed State", client_.GetStateName());
  EXPECT_EQ("session has been closed: thread has been canceled",
            ErrorText([&] { AddOne(client_); }));
  client_.Open(address());
  ASSERT_EQ(2, AddOne(client_));
  // Reopening an opened session moves it to the new addresses.
  const std::string other_address = "local:" + dir_.path() + "/other.sock";
  AddOneServer other_add_one(8200);
  Server other(other_address, &other_add_one);
  client_.Open(other_address);
  ASSERT_EQ(2, AddOne(client_));
  EXPECT_EQ(2, add_one_.calls.load());
  EXPECT_EQ(1, other_add_one.calls.load());
  EXPECT_EQ(std::vector<std::string>{other_address}, client_.GetAddresses());
}

TEST_F(StateTest, SuspendedSessionHoldsCallersUntilResumedOrTheDeadline) {
  LogCapture log;
  client_.Open(address());
  client_.Suspend();
  EXPECT_EQ("Suspended State", client_.GetStateName());
  AddOneClient request(8200, 1);
  EXPECT_EQ(
      "SuspendedSessionState::AquireConnection - a waiting for a change of a state is failed",
      ErrorText([&] {
        client_.Execute(&request, base::NkDeadline(base::NkTimeout::Milliseconds(100)));
      }));

  auto waiting = std::async(std::launch::async, [&] { return AddOne(client_, 1, 8200, 30); });
  ASSERT_TRUE(Eventually([&] { return client_.GetExecutionsCount() == 1; }));
  EXPECT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(200)));
  client_.Resume();
  EXPECT_EQ(2, waiting.get());
  EXPECT_TRUE(log.Contains(base::NK_LOG_DEBUG,
                           "Session::Execute - a state has been changed, call again"));
}

TEST_F(StateTest, DestructionReleasesSuspendedCallers) {
  auto client = std::make_unique<NkClientSession>(ClientPool());
  client->Open(address());
  client->Suspend();
  auto waiting =
      std::async(std::launch::async, [&] { return ErrorText([&] { AddOne(*client, 1, 8200, 60); }); });
  ASSERT_TRUE(Eventually([&] { return client->GetExecutionsCount() == 1; }));
  client.reset();  // waits for the caller to leave
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ("TerminalSessionState: session has been deleted: thread has been canceled",
            waiting.get());
}

using Addresses = std::vector<std::string>;

class PidFileTest : public testing_support::UnixSessionTest {
 protected:
  std::string Write(const std::string& content) {
    std::ofstream(path()) << content;
    return path();
  }
};

TEST_F(PidFileTest, LinesBecomeUnixAndTcpAddresses) {
  struct Case {
    std::string content;  // none: no file at all
    Addresses addresses;
    int level;
    std::string line;
  };
  for (const Case& c : std::vector<Case>{
           {"4242\n/var/norvak/ipc/.agent\n127.0.0.1:3000\n::1:3001\n[fe80::1]:3002\n\n",
            {"local:/var/norvak/ipc/.agent", "inet:3000@127.0.0.1", "inet:3001@::1",
             "inet:3002@fe80::1"},
            base::NK_LOG_DEBUG,
            "ParsePidFile: add address 'inet:3000@127.0.0.1' from pid file"},
           {"4242\n", {}, base::NK_LOG_ALERT, "Can not find any address in pid file '" + path() + "'"},
           {"", {}, base::NK_LOG_ERROR, "can not find pid number"},
           {"none", {}, base::NK_LOG_ERROR,
            "Error during load and parse pid file '" + path() + "': can not open file for reading:"},
       }) {
    SCOPED_TRACE(c.content);
    LogCapture log;
    if (c.content != "none") Write(c.content);
    EXPECT_EQ(c.addresses, NkSession::ParsePidFile(path()));
    EXPECT_TRUE(log.Contains(c.level, c.line));
    unlink(path().c_str());
  }
}

TEST_F(PidFileTest, AddressListMixesPidFilesAndSpecifications) {
  const std::string path = Write("1\n/tmp/a.sock\n");
  EXPECT_EQ((Addresses{"unix:/tmp/b.sock", "local:/tmp/a.sock", "inet:25@127.0.0.1"}),
            NkSession::ResolveAddresses(
                {"unix:/tmp/b.sock", " PID :" + path, "inet:25@127.0.0.1"}));
  // The path is taken as it stands, blanks included.
  EXPECT_TRUE(NkSession::ResolveAddresses({"pid: " + path}).empty());
  EXPECT_THROW(NkSession::ResolveAddresses({"tcp:25@127.0.0.1"}), NkIpcError);

  // A pid file without addresses leaves nothing to open.
  Write("4242\n");
  NkClientSession client(testing_support::ClientPool());
  EXPECT_THROW(client.Open("pid:" + path), base::NkException);
  EXPECT_EQ("Initial State", client.GetStateName());
}

TEST(ConnectTimeoutTest, ComesFromTheEnvironmentWithATenSecondDefault) {
  const char* saved = getenv("NK_CONNECT_TIMEOUT");
  const std::string keep = saved ? saved : "";
  for (const char* value : {"", "3", "3s"}) {
    *value ? setenv("NK_CONNECT_TIMEOUT", value, 1) : unsetenv("NK_CONNECT_TIMEOUT");
    EXPECT_EQ(base::NkTimeout::Seconds(std::string(value) == "3" ? 3 : 10),
              NkSessionPoolManager::ConnectTimeoutFromEnvironment())
        << value;
  }
  saved ? setenv("NK_CONNECT_TIMEOUT", keep.c_str(), 1) : unsetenv("NK_CONNECT_TIMEOUT");
}

}  // namespace
}  // namespace ipc
}  // namespace norvak
