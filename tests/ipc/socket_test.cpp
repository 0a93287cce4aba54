#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nk_exception.h"
#include "nk_inet_socket.h"
#include "nk_inet_socket_address.h"
#include "nk_interruption.h"
#include "nk_ipc_error.h"
#include "nk_ipc_factory.h"
#include "nk_unix_socket.h"
#include "socket_test_util.h"
#include "temp_dir.h"

namespace norvak {
namespace ipc {
namespace {

using base::NkTimeout;
using testing_util::LogCapture;
using testing_util::MakeSocketPair;
using testing_util::SecondsSince;

const NkTimeout kGenerous = NkTimeout::Milliseconds(10000);

std::string ReadAll(NkIfIPC& socket, size_t n) {
  std::string data(n, '\0');
  socket.Receive(data, kGenerous);
  return data;
}

TEST(SocketTest, PartialAndInterruptedTransfersComplete) {
  auto pair = MakeSocketPair();
  // Nothing wanted: no wait, no system call, even without a descriptor.
  size_t none = 0;
  NkUnixSocket empty;
  EXPECT_TRUE(empty.Receive(nullptr, none, NkTimeout::Milliseconds(0)));
  EXPECT_TRUE(empty.Close());

  // A peer that dribbles one byte at a time.
  const std::string message = "one byte at a time";
  std::thread writer([&] {
    for (char c : message) {
      EXPECT_EQ(1, write(pair.second->GetHandle(), &c, 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  size_t count = message.size();
  std::string got(count, '\0');
  EXPECT_TRUE(pair.first->Receive(&got[0], count, kGenerous));
  writer.join();
  EXPECT_EQ(message.size(), count);
  EXPECT_EQ(message, got);

  // Signals arriving during the wait are invisible to the caller.
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = [](int) {};
  struct sigaction old;
  sigaction(SIGUSR1, &action, &old);  // no SA_RESTART: poll sees EINTR
  const pthread_t reader = pthread_self();
  std::thread disturber([&] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      pthread_kill(reader, SIGUSR1);
    }
    EXPECT_TRUE(pair.second->Send(std::string("late"), kGenerous));
  });
  EXPECT_EQ("late", ReadAll(*pair.first, 4));
  disturber.join();
  sigaction(SIGUSR1, &old, nullptr);
}

TEST(SocketTest, PeerClosing) {
  auto pair = MakeSocketPair();
  // Bytes sent just before the close are still delivered...
  ASSERT_EQ(6, write(pair.second->GetHandle(), "abcdef", 6));
  pair.second->Close();
  EXPECT_EQ("abc", ReadAll(*pair.first, 3));
  // ...and a value cut short by the close is reported as such.
  size_t count = 8;
  char buffer[8];
  EXPECT_THROW(pair.first->Receive(buffer, count, kGenerous), NkIpcErrorClosedByPeer);
  EXPECT_EQ(3u, count);

  // Writing to a closed peer must fail, not kill the process with SIGPIPE.
  signal(SIGPIPE, SIG_DFL);
  auto other = MakeSocketPair();
  other.second->Close();
  std::string big(1 << 20, 'x');
  EXPECT_THROW(other.first->Send(big, kGenerous), NkIpcErrorClosedByPeer);
}

TEST(SocketTest, WaitsEndOnTime) {
  auto pair = MakeSocketPair();
  size_t count = 4;
  char buffer[4];
  auto start = std::chrono::steady_clock::now();
  try {
    pair.first->Receive(buffer, count, NkTimeout::Milliseconds(300));
    FAIL();
  } catch (const base::NkTimedOut& e) {
    EXPECT_EQ(0u, std::string(e.what()).find("a waiting of Socket::IsReady(0x1) for connection (fd->"))
        << e.what();
  }
  const double elapsed = SecondsSince(start);
  EXPECT_GE(elapsed, 0.25);
  EXPECT_LT(elapsed, 5.0);

  // A passed deadline hands out zero: the wait ends at once.
  start = std::chrono::steady_clock::now();
  EXPECT_THROW(pair.first->Receive(buffer, count, NkTimeout::Milliseconds(0)), base::NkTimedOut);
  EXPECT_LT(SecondsSince(start), 1.0);
}

struct Cancelled {};

TEST(SocketTest, InfiniteWaitRunsTheInterruptionHook) {
  auto pair = MakeSocketPair();
  base::NkSetInterruptionHook([] { throw Cancelled(); });
  const auto start = std::chrono::steady_clock::now();
  size_t count = 1;
  char c;
  EXPECT_THROW(pair.first->Receive(&c, count, base::kNkInfiniteTimeout), Cancelled);
  base::NkSetInterruptionHook(nullptr);
  EXPECT_LT(SecondsSince(start), 5.0);
}

TEST(SocketTest, DescriptorAbove1023) {
  rlimit limit;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
  if (limit.rlim_cur <= 1500) {
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= 1500) {
      GTEST_SKIP() << "RLIMIT_NOFILE hard limit too low";
    }
    limit.rlim_cur = 2048;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) GTEST_SKIP() << "cannot raise RLIMIT_NOFILE";
  }
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
  ASSERT_EQ(1500, dup2(fds[0], 1500));
  close(fds[0]);
  NkUnixSocket high;
  high.SetHandle(1500);
  high.ApplyOptions();
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(2, write(fds[1], "hi", 2));
  });
  EXPECT_EQ("hi", ReadAll(high, 2));
  writer.join();
  size_t count = 1;
  char c;
  EXPECT_THROW(high.Receive(&c, count, NkTimeout::Milliseconds(100)), base::NkTimedOut);
  close(fds[1]);
}

class UnixListenerTest : public ::testing::Test {
 protected:
  std::string Address() const { return "local:" + Path(); }
  std::string Path() const { return dir_.path() + "/ipc.sock"; }
  NkIfIPCPtr StartListener() {
    NkIfIPCPtr listener = CreateIPC(Address(), "");
    listener->SetServer(true);
    listener->Create();
    listener->Listen(8);
    return listener;
  }
  mode_t FileMode() const {
    struct stat status;
    return lstat(Path().c_str(), &status) == 0 ? status.st_mode : 0;
  }

  TempDir dir_;
};

TEST_F(UnixListenerTest, ListenAcceptConnectAndCleanUp) {
  NkIfIPCPtr listener = StartListener();
  EXPECT_TRUE(S_ISSOCK(FileMode()));
  EXPECT_EQ(0770u, FileMode() & 0777);
  EXPECT_EQ("a listening connection (fd->" + std::to_string(listener->GetHandle()) +
                ", local->" + Address() + ")",
            listener->GetDescription());

  NkIfIPCPtr client = CreateIPC("", Address());
  ASSERT_TRUE(client->Connect(kGenerous));
  EXPECT_TRUE(client->IsConnected());
  NkIfIPCPtr accepted = CreateIPC(Address(), "");
  ASSERT_TRUE(listener->Accept(kGenerous, accepted.get()));
  EXPECT_TRUE(accepted->IsServer() && accepted->IsConnected() && !accepted->IsListening());
  EXPECT_TRUE(client->Send(std::string("ping"), kGenerous));
  EXPECT_EQ("ping", ReadAll(*accepted, 4));

  // A duplicate and an accepted connection never own the socket file.
  NkUnixSocket dup;
  dup.Dup(*std::static_pointer_cast<NkUnixSocket>(listener));
  dup.Close();
  accepted->Close();
  EXPECT_TRUE(S_ISSOCK(FileMode()));
  listener->Close();
  EXPECT_EQ(0u, FileMode());
}

TEST_F(UnixListenerTest, ModeSetBeforeCreate) {
  NkIfIPCPtr listener = CreateIPC(Address(), "");
  std::static_pointer_cast<NkUnixSocket>(listener)->SetMode(0700);
  listener->SetServer(true);
  listener->Create();
  EXPECT_EQ(0700u, FileMode() & 0777);
}

TEST_F(UnixListenerTest, LiveSocketIsRefusedStaleOneReplaced) {
  LogCapture log;
  {
    NkIfIPCPtr live = StartListener();
    EXPECT_THROW(StartListener(), base::NkSystemError);
    EXPECT_EQ(1, log.Count(base::NK_LOG_ERROR, "- somebody uses this socket"));
    EXPECT_TRUE(S_ISSOCK(FileMode()));
  }
  // A socket file left behind by a process that died without cleaning up.
  const int raw = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address;
  memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, Path().c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(0, bind(raw, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
  close(raw);
  ASSERT_TRUE(S_ISSOCK(FileMode()));

  NkIfIPCPtr replacement = StartListener();
  EXPECT_EQ(1, log.Count(base::NK_LOG_ALERT, "stalled socket has been removed and binded"));
  EXPECT_EQ(1, log.Count(base::NK_LOG_INFO, "stalled socket has been detected"));
  NkIfIPCPtr client = CreateIPC("", Address());
  EXPECT_TRUE(client->Connect(kGenerous));
}

TEST_F(UnixListenerTest, RegularFileAtThePathIsNeverRemoved) {
  std::ofstream(Path()) << "precious";
  EXPECT_THROW(StartListener(), base::NkSystemError);
  EXPECT_TRUE(S_ISREG(FileMode()));
}

class InetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = CreateIPC("inet:0@127.0.0.1", "");
    listener_->SetServer(true);
    listener_->Create();
    listener_->Listen(8);
    port_ = std::static_pointer_cast<NkInetSocketAddress>(listener_->GetLocalAddress())->GetPort();
    ASSERT_NE(0, port_);
  }
  std::string Remote() const { return "inet:" + std::to_string(port_) + "@127.0.0.1"; }

  NkIfIPCPtr listener_;
  uint16_t port_ = 0;
};

TEST_F(InetTest, ConnectAcceptAndDescribe) {
  NkIfIPCPtr client = CreateIPC("", Remote());
  ASSERT_TRUE(client->Connect(kGenerous));
  NkIfIPCPtr accepted = CreateIPC(listener_->GetLocalAddress(), NkIpcAddressPtr());
  ASSERT_TRUE(listener_->Accept(kGenerous, accepted.get()));
  EXPECT_EQ(accepted->GetRemoteAddressAsString(), client->GetLocalAddressAsString());
  EXPECT_NE(std::string::npos,
            accepted->GetDescription().find(", client->" + client->GetLocalAddressAsString() + ")"));
  EXPECT_NE(std::string::npos, client->GetDescription().find(", server->inet:127.0.0.1:"));
  EXPECT_TRUE(accepted->Send(std::string("pong"), kGenerous));
  EXPECT_EQ("pong", ReadAll(*client, 4));
}

TEST_F(InetTest, ConnectFailures) {
  // Nobody listens on a port that was just released.
  NkIfIPCPtr probe = CreateIPC("inet:0@127.0.0.1", "");
  probe->SetServer(true);
  probe->Create();
  const std::string closed_port =
      std::to_string(std::static_pointer_cast<NkInetSocketAddress>(probe->GetLocalAddress())->GetPort());
  probe->Close();
  NkIfIPCPtr refused = CreateIPC("", "inet:" + closed_port + "@127.0.0.1");
  try {
    refused->Connect(kGenerous);
    FAIL();
  } catch (const base::NkSystemError& e) {
    EXPECT_EQ(0u, std::string(e.what()).find("Socket::Connect: [")) << e.what();
  }
  EXPECT_EQ(-1, refused->GetHandle());

  // With the accept queue full, the handshake stays in progress until the
  // time-out.
  NkIfIPCPtr full = CreateIPC("inet:0@127.0.0.1", "");
  full->SetServer(true);
  full->Create();
  full->Listen(0);
  const std::string full_port =
      std::to_string(std::static_pointer_cast<NkInetSocketAddress>(full->GetLocalAddress())->GetPort());
  std::vector<NkIfIPCPtr> clients;
  bool timed_out = false;
  for (int i = 0; i < 8 && !timed_out; ++i) {
    clients.push_back(CreateIPC("", "inet:" + full_port + "@127.0.0.1"));
    try {
      clients.back()->Connect(NkTimeout::Milliseconds(300));
    } catch (const base::NkTimedOut&) {
      timed_out = true;
    }
  }
  if (!timed_out) GTEST_SKIP() << "this kernel completes handshakes beyond the backlog";
}

TEST_F(InetTest, SendFileRegions) {
  TempDir dir;
  const std::string path = dir.path() + "/data";
  std::string content(10000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
  std::ofstream(path) << content;

  NkIfIPCPtr client = CreateIPC("", Remote());
  ASSERT_TRUE(client->Connect(kGenerous));
  NkIfIPCPtr accepted = CreateIPC(listener_->GetLocalAddress(), NkIpcAddressPtr());
  ASSERT_TRUE(listener_->Accept(kGenerous, accepted.get()));

  EXPECT_THROW(client->SendFile(path, 9000, 1001, kGenerous), base::NkParameterError);
  EXPECT_THROW(client->SendFile(path, 10001, 0, kGenerous), base::NkParameterError);
  EXPECT_THROW(client->SendFile(dir.path() + "/missing", 0, 1, kGenerous), base::NkSystemError);
  EXPECT_TRUE(client->SendFile(path, 0, 0, kGenerous));  // zero bytes: nothing at all
  // An offset that is not a multiple of the page size.
  EXPECT_TRUE(client->SendFile(path, 4099, 1000, kGenerous));
  EXPECT_TRUE(client->SendFile(path, 0, 10000, kGenerous));
  EXPECT_EQ(content.substr(4099, 1000) + content, ReadAll(*accepted, 11000));
  size_t count = 1;
  char c;
  EXPECT_THROW(accepted->Receive(&c, count, NkTimeout::Milliseconds(50)), base::NkTimedOut);
}

}  // namespace
}  // namespace ipc
}  // namespace norvak
