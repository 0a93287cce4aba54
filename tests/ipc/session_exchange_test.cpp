#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nk_exception.h"
#include "nk_ipc_error.h"
#include "session_test_support.h"
#include "temp_dir.h"

namespace norvak {
namespace ipc {
namespace {

using base::NkTimeout;
using testing_support::AddOneClient;
using testing_support::AddOneServer;
using testing_support::CapturingLog;
using testing_support::ClientPool;
using testing_support::Server;
using testing_support::Within;

// A bare Unix-socket peer, for what a well-behaved client never sends.
class RawClient {
 public:
  explicit RawClient(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~RawClient() { close(fd_); }
  bool connected() const { return connected_; }
  void Send(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fd_, bytes.data(), bytes.size()));
  }
  // Bytes until the server closes (or `max` arrived).
  std::string ReadAll(size_t max = 64) {
    std::string got;
    char buffer[64];
    while (got.size() < max) {
      ssize_t n = read(fd_, buffer, sizeof(buffer));
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  int fd_;
  bool connected_ = false;
};

std::string Int32(uint32_t value) {
  const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                         static_cast<char>(value >> 8), static_cast<char>(value)};
  return std::string(bytes, 4);
}

class SessionExchangeTest : public ::testing::TestWithParam<bool> {
 protected:
  // Unix socket or TCP loopback, by parameter.
  std::string Address() {
    if (!GetParam()) return "local:" + dir_.path() + "/server.sock";
    return testing_support::TcpAddress(testing_support::FreeTcpPort());
  }
  TempDir dir_;
};

TEST_P(SessionExchangeTest, RepeatedExchangesReuseOnePersistentConnection) {
  const std::string address = Address();
  AddOneServer add_one(8195);
  Server server(address);
  ASSERT_TRUE(server.session().Register(&add_one));
  server.Start();

  auto pool = ClientPool();
  NkClientSession client(pool);
  client.Open(address);
  for (int32_t i = 0; i < 5; ++i) {
    AddOneClient request(8195, i * 10);
    ASSERT_TRUE(client.Execute(&request, Within(10)));
    EXPECT_EQ(i * 10 + 1, request.result);
  }
  EXPECT_EQ(1u, pool->GetTotal());
  EXPECT_EQ(5, add_one.calls.load());
}

TEST_P(SessionExchangeTest, ManyThreadsShareOneSession) {
  const std::string address = Address();
  AddOneServer add_one(8195);
  Server server(address, 4);
  server.session().Register(&add_one);
  server.Start();

  auto pool = ClientPool(ConnSettings(0, 3, 0));
  NkClientSession client(pool);
  client.Open(address);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        AddOneClient request(8195, t * 1000 + i);
        try {
          if (!client.Execute(&request, Within(20)) || request.result != t * 1000 + i + 1) ++wrong;
        } catch (const std::exception&) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(8 * 40, add_one.calls.load());
  EXPECT_LE(pool->GetTotal(), 3u);
  EXPECT_EQ(0u, pool->GetBusyCount());
}

INSTANTIATE_TEST_SUITE_P(UnixAndTcp, SessionExchangeTest, ::testing::Bool());

class SessionTest : public ::testing::Test {
 protected:
  std::string path() const { return dir_.path() + "/server.sock"; }
  std::string address() const { return "local:" + path(); }
  TempDir dir_;
};

TEST_F(SessionTest, IdentifierZeroIsNeitherSentNorRead) {
  AddOneServer add_one(0);
  Server server(address());
  server.Serve(&add_one);
  server.Start();

  NkClientSession client(ClientPool());
  client.Open(address());
  AddOneClient request(0, 7);
  ASSERT_TRUE(client.Execute(&request, Within(10)));
  EXPECT_EQ(8, request.result);

  // On the wire the request is the bare value.
  RawClient raw(path());
  ASSERT_TRUE(raw.connected());
  raw.Send(Int32(99));
  EXPECT_EQ(Int32(100), raw.ReadAll(4));
}

TEST_F(SessionTest, IdentifierTravelsBigEndianBeforeTheRequest) {
  AddOneServer add_one(8200);
  Server server(address());
  server.session().Register(&add_one);
  server.Start();

  RawClient raw(path());
  ASSERT_TRUE(raw.connected());
  raw.Send(Int32(0x2008) + Int32(1));
  EXPECT_EQ(Int32(2), raw.ReadAll(4));
}

TEST_F(SessionTest, UnsupportedIdentifierDropsOnlyThatConnection) {
  CapturingLog log;
  AddOneServer reload(8200);
  AddOneServer start(8201);
  Server server(address());
  server.session().Register(&reload);
  server.session().Register(&start);
  server.Start();

  NkClientSession client(ClientPool(ConnSettings(0, 1, 0)));
  client.Open(address());
  AddOneClient update(8204, 1);
  EXPECT_FALSE(client.Execute(&update, Within(10)));
  EXPECT_TRUE(log.Contains(base::NK_LOG_ERROR, "server: unsupported protocol ID -> 8204"));

  AddOneClient good(8201, 1);
  ASSERT_TRUE(client.Execute(&good, Within(10)));
  EXPECT_EQ(2, good.result);
  EXPECT_EQ(1, start.calls.load());
}

TEST_F(SessionTest, GivenProtocolRefusesAnotherIdentifier) {
  CapturingLog log;
  AddOneServer reload(8200);
  Server server(address());
  server.Serve(&reload);
  server.Start();

  NkClientSession client(ClientPool());
  client.Open(address());
  AddOneClient other(8201, 1);
  EXPECT_FALSE(client.Execute(&other, Within(10)));
  EXPECT_TRUE(log.Contains(base::NK_LOG_ERROR,
                           "server: wrong protocol ID (received=8201, supported=8200)"));
  EXPECT_EQ(0, reload.calls.load());
}

TEST_F(SessionTest, NoRegisteredProtocolMeansNoService) {
  CapturingLog log;
  Server server(address());
  server.Start();
  NkClientSession client(ClientPool());
  client.Open(address());
  AddOneClient request(8200, 1);
  EXPECT_FALSE(client.Execute(&request, Within(10)));
  EXPECT_TRUE(log.Contains(base::NK_LOG_ERROR, "server: supported protocols were not been defined"));
}

TEST_F(SessionTest, RegistrationKeepsTheFirstProtocolOfAnIdentifier) {
  CapturingLog log;
  AddOneServer first(8200);
  AddOneServer second(8200);
  Server server(address());
  EXPECT_TRUE(server.session().Register(&first));
  EXPECT_FALSE(server.session().Register(&second));
  EXPECT_TRUE(log.Contains(base::NK_LOG_ALERT,
                           "S-Session::Register - a protocol (id=8200) already has been registred"));
  server.Start();

  NkClientSession client(ClientPool());
  client.Open(address());
  AddOneClient request(8200, 1);
  ASSERT_TRUE(client.Execute(&request, Within(10)));
  EXPECT_EQ(1, first.calls.load());
  EXPECT_EQ(0, second.calls.load());

  EXPECT_TRUE(server.session().Deregister(&second));
  EXPECT_FALSE(server.session().Deregister(&first));
  EXPECT_TRUE(log.Contains(base::NK_LOG_ALERT,
                           "S-Session::Deregister - a protocol (id=8200) has not been registred"));
  try {
    server.session().Register(nullptr);
    FAIL();
  } catch (const base::NkParameterError& e) {
    EXPECT_STREQ(
        "ServerSession::Register: the 'theProto' parameter contains invalid value 'null'",
        e.what());
  }
}

TEST_F(SessionTest, ServerKeepsServingAfterMisbehavingClients) {
  AddOneServer add_one(8200);
  Server server(address());
  server.SetExchangeTimeout(NkTimeout::Milliseconds(500));
  server.session().Register(&add_one);
  server.Start();

  {
    RawClient garbage(path());
    garbage.Send("\xde\xad\xbe\xef garbage");
    EXPECT_EQ("", garbage.ReadAll());  // dropped
  }
  {
    RawClient half(path());
    half.Send(Int32(8200) + std::string("\0\0", 2));
  }
  { RawClient silent(path()); }
  RawClient stalled(path());
  stalled.Send(Int32(8200));  // and never the value: the exchange times out

  NkClientSession client(ClientPool());
  client.Open(address());
  for (int i = 0; i < 3; ++i) {
    AddOneClient request(8200, i);
    ASSERT_TRUE(client.Execute(&request, Within(10)));
    EXPECT_EQ(i + 1, request.result);
  }
}

TEST_F(SessionTest, MisuseIsRefusedWithItsTexts) {
  try {
    NkClientSession session(nullptr);
    FAIL();
  } catch (const base::NkParameterError& e) {
    EXPECT_STREQ("Session::ctor: the 'PoolManager' parameter contains invalid value 'null'",
                 e.what());
  }
  NkClientSession client(ClientPool());
  try {
    client.Execute(nullptr, Within(1));
    FAIL();
  } catch (const base::NkParameterError& e) {
    EXPECT_STREQ("ClientSession::process: the 'theProto' parameter is invalid", e.what());
  }
  CapturingLog log;
  EXPECT_THROW(client.Open(std::vector<std::string>{address(), "bogus"}), NkIpcError);
  EXPECT_TRUE(log.Contains(base::NK_LOG_ERROR, "can`t create incorrect address: bogus"));
  EXPECT_EQ("Initial State", client.GetStateName());
}

TEST_F(SessionTest, UnreachableServerFailsTheOpenButNotALazyPool) {
  NkClientSession eager(ClientPool(ConnSettings(1)));
  try {
    eager.Open(address());
    FAIL();
  } catch (const base::NkException& e) {
    EXPECT_STREQ("SessionState::Open - cannot initialize connections pool", e.what());
  }
  EXPECT_EQ("Initial State", eager.GetStateName());

  // Minimum 0: connections are made when asked for, so the open succeeds
  // and the exchange reports the connect failure.
  NkClientSession lazy(ClientPool(ConnSettings(0, 1, 0)));
  lazy.Open(address());
  AddOneClient request(8200, 1);
  EXPECT_THROW(lazy.Execute(&request, Within(5)), base::NkSystemError);

  AddOneServer add_one(8200);
  Server server(address());
  server.session().Register(&add_one);
  server.Start();
  ASSERT_TRUE(lazy.Execute(&request, Within(10)));
  EXPECT_EQ(2, request.result);
}

TEST_F(SessionTest, ServerClosingRemovesItsSocketFile) {
  {
    AddOneServer add_one(8200);
    Server server(address());
    server.session().Register(&add_one);
    server.Start();
    EXPECT_EQ(0, access(path().c_str(), F_OK));
  }
  EXPECT_NE(0, access(path().c_str(), F_OK));
}

}  // namespace
}  // namespace ipc
}  // namespace norvak
