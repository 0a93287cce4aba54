#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/nk_exception.h"
#include "ipc/nk_inet_socket.h"
#include "ipc/nk_inet_socket_address.h"
#include "ipc/nk_interruption.h"
#include "ipc/nk_ipc_error.h"
#include "ipc/nk_ipc_factory.h"
#include "ipc/nk_unique_fd.h"
#include "ipc/nk_unix_socket.h"
#include "ipc/nk_unix_socket_address.h"
#include "session_test_support.h"
#include "temp_dir.h"

namespace norvak {
namespace ipc {
namespace {

using base::NkTimeout;
using testing_support::ErrorText;
using testing_support::Listen;
using testing_support::LogCapture;
using testing_support::MakeSocketPair;
using testing_support::SecondsSince;
using testing_support::kGenerous;

TEST(CreateAddressTest, AcceptedAddressTexts) {
  struct Case {
    const char* given;
    NkIpcAddress::Family family;
    const char* text;
    const char* equal_to;
  };
  for (const Case& c : std::vector<Case>{
           {"local:/var/norvak/ipc/.agent", NkIpcAddress::kUnix, "local:/var/norvak/ipc/.agent",
            "unix:/var/norvak/ipc/.agent"},
           {"unix:/var/norvak/ipc/.agent", NkIpcAddress::kUnix, "local:/var/norvak/ipc/.agent",
            "local:/var/norvak/ipc/.agent"},
           {"inet:3000@127.0.0.1", NkIpcAddress::kInet, "inet:127.0.0.1:3000",
            "inet:3000@127.0.0.1"},
           {"inet:3000@::1", NkIpcAddress::kInet, "inet:[::1]:3000", "inet:3000@::1"},
       }) {
    SCOPED_TRACE(c.given);
    NkIpcAddressPtr address = CreateAddress(c.given);
    ASSERT_TRUE(address);
    EXPECT_EQ(c.family, address->GetFamily());
    EXPECT_EQ(c.text, address->ToString());
    // The address text stays as given, so it can be parsed again.
    EXPECT_EQ(c.given, address->GetSpec());
    EXPECT_TRUE(address->IsEqual(*CreateAddress(c.equal_to)));
    EXPECT_FALSE(address->IsEqual(*CreateAddress("local:/other")));
    EXPECT_FALSE(address->IsEqual(*CreateAddress("inet:3001@127.0.0.1")));
  }
  EXPECT_EQ(28u, CreateAddress("inet:3000@::1")->GetSockAddrLen());
  // Service names resolve through the services database.
  if (NkIpcAddressPtr named = CreateAddress("inet:ssh@127.0.0.1")) {
    EXPECT_EQ(22, std::static_pointer_cast<NkInetSocketAddress>(named)->GetPort());
  }
}

TEST(CreateAddressTest, RejectedSpecificationsAndTheirLogLines) {
  const std::string too_long = "local:/" + std::string(200, 'a');  // would be cut or overrun
  for (const auto& c : std::vector<std::tuple<std::string, int, std::string>>{
           {"", -1, ""},
           {"*", -1, ""},
           {too_long, -1, ""},
           {"inet:3000", base::NK_LOG_ERROR,
            "inet parser (inet:3000) failed - separator '@' was not found"},
           // Not an address at all is no error worth an operator's attention.
           {"tcp:3000@127.0.0.1", base::NK_LOG_DEBUG,
            "InetSocketAddress::Parse(tcp:3000@127.0.0.1) failed - specifier 'inet:' was not "
            "found"},
           {"inet:no-such-service-xyz@127.0.0.1", base::NK_LOG_ERROR,
            "can`t resolve port number no-such-service-xyz: "},
       }) {
    SCOPED_TRACE(std::get<0>(c));
    LogCapture log;
    EXPECT_FALSE(CreateAddress(std::get<0>(c)));
    if (std::get<1>(c) >= 0) {
      EXPECT_EQ(1, log.Count(std::get<1>(c), std::get<2>(c)));
    }
    EXPECT_EQ(0, log.Count(base::NK_LOG_ERROR, "tcp:3000"));
  }
  EXPECT_THROW(CreateAddress("inet:3000@local host"), std::invalid_argument);
}

TEST(IpcFactoryTest, ChoosesTheSocketKindAndRefusesMismatches) {
  EXPECT_TRUE(std::dynamic_pointer_cast<NkUnixSocket>(CreateIPC("local:/tmp/x", "")));
  EXPECT_TRUE(std::dynamic_pointer_cast<NkInetSocket>(CreateIPC("*", "inet:1@127.0.0.1")));
  EXPECT_EQ("local and remote addresses: the 'not defined' parameter is invalid",
            ErrorText([] { CreateIPC("", "*"); }));
  EXPECT_EQ("local and remote address have different protocols families",
            ErrorText([] { CreateIPC("local:/tmp/x", "inet:1@127.0.0.1"); }));
  EXPECT_EQ("Unknown address domain", ErrorText([] {
              CreateIPC(std::make_shared<NkUnixSocketAddress>("local:/unparsed"), NkIpcAddressPtr());
            }));
}

TEST(IpcFactoryTest, DescriptionTextAndExpiry) {
  NkIfIPCPtr ipc = CreateIPC("local:/tmp/a", "local:/tmp/b");
  EXPECT_EQ("connection (fd->invalid, local->local:/tmp/a, server->local:/tmp/b)",
            ipc->GetDescription());
  ipc->SetServer(true);
  ipc->SetListening(true);
  EXPECT_EQ("a listening connection (fd->invalid, local->local:/tmp/a, client->local:/tmp/b)",
            ipc->GetDescription());
  EXPECT_EQ("connection (fd->invalid, server->inet:127.0.0.1:7)",
            CreateIPC("", "inet:7@127.0.0.1")->GetDescription());
  EXPECT_TRUE(ipc->IsRemoteAddressEqual(*CreateAddress("unix:/tmp/b")));

  // A never-expiring connection stays so whatever lifetime it is given.
  ipc->SetNeverExpires(true);
  ipc->SetExpiry(0);
  EXPECT_TRUE(ipc->GetExpiry().IsUndefined());
}

std::string ReadAll(NkIfIPC& socket, size_t n) {
  std::string data(n, '\0');
  socket.Receive(data, kGenerous);
  return data;
}

// A byte-at-a-time peer is covered where whole values are read.
TEST(SocketTest, SignalsDuringAWaitAreInvisible) {
  auto pair = MakeSocketPair();
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
  const std::string error =
      ErrorText([&] { pair.first->Receive(buffer, count, NkTimeout::Milliseconds(300)); });
  EXPECT_EQ(0u, error.find("a waiting of Socket::IsReady(0x1) for connection (fd->")) << error;
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
  limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 2048);
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) GTEST_SKIP() << "cannot raise RLIMIT_NOFILE";
  auto pair = MakeSocketPair();
  NkUnixSocket high;
  ASSERT_EQ(1500, dup2(pair.first->GetHandle(), 1500));
  high.SetHandle(1500);
  high.ApplyOptions();
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(pair.second->Send(std::string("hi"), kGenerous));
  });
  EXPECT_EQ("hi", ReadAll(high, 2));
  writer.join();
  size_t count = 1;
  char c;
  EXPECT_THROW(high.Receive(&c, count, NkTimeout::Milliseconds(100)), base::NkTimedOut);
}

TEST(SocketOwnershipTest, EveryDescriptorIsClosedOnceByItsOwner) {
  TempDir dir;
  const std::string path = dir.path() + "/data";
  std::ofstream(path) << "payload";
  const int before = openDescriptors();
  {
    auto pair = MakeSocketPair();
    // Adopting the descriptor it already has must not close it.
    pair.first->SetHandle(pair.first->GetHandle());
    EXPECT_TRUE(pair.first->Send(std::string("x"), kGenerous));
    EXPECT_EQ("x", ReadAll(*pair.second, 1));
    // A duplicate owns a descriptor of its own; taking another closes it.
    NkUnixSocket dup;
    dup.Dup(*pair.first);
    EXPECT_NE(pair.first->GetHandle(), dup.GetHandle());
    dup.Dup(*pair.second);
    EXPECT_TRUE(pair.first->SendFile(path, 0, 7, kGenerous));
    EXPECT_EQ("payload", ReadAll(dup, 7));
    EXPECT_THROW(pair.first->SendFile(path, 0, 8, kGenerous), base::NkParameterError);
    testing_support::Connect(testing_support::Transport::kTcp, dir.path());
    testing_support::Connect(testing_support::Transport::kUnix, dir.path());
  }
  EXPECT_EQ(before, openDescriptors());
}

TEST(SocketOwnershipTest, FailedCloseIsReportedOnceWithTheNumberItHad) {
  LogCapture log;
  auto pair = MakeSocketPair();
  const int fd = pair.first->GetHandle();
  ASSERT_EQ(0, close(fd));  // behind the owner's back
  EXPECT_FALSE(pair.first->Close());
  EXPECT_EQ(-1, pair.first->GetHandle());
  EXPECT_EQ(1, log.Count(base::NK_LOG_ALERT, "Socket::Close for connection (fd->" +
                                                 std::to_string(fd) + "): bad file descriptor"));
  // The number is free again; whoever gets it next keeps it.
  const base::UniqueFd reused(dup(pair.second->GetHandle()));
  ASSERT_EQ(fd, reused.get());
  EXPECT_TRUE(pair.first->Close());
  pair.first.reset();
  EXPECT_NE(-1, fcntl(fd, F_GETFD));
  EXPECT_EQ(1, log.Count(base::NK_LOG_ALERT, "bad file descriptor"));
}

class UnixListenerTest : public testing_support::UnixSessionTest {
 protected:
  mode_t FileMode() const {
    struct stat status;
    return lstat(path().c_str(), &status) == 0 ? status.st_mode : 0;
  }
};

TEST_F(UnixListenerTest, SocketFileModeOwnershipAndCleanUp) {
  auto c = testing_support::Connect(testing_support::Transport::kUnix, dir_.path());
  NkIfIPCPtr listener = c.listener;
  EXPECT_TRUE(S_ISSOCK(FileMode()));
  EXPECT_EQ(0770u, FileMode() & 0777);
  EXPECT_EQ("a listening connection (fd->" + std::to_string(listener->GetHandle()) +
                ", local->" + address() + ")",
            listener->GetDescription());

  // A duplicate and an accepted connection never own the socket file.
  NkUnixSocket dup;
  dup.Dup(*std::static_pointer_cast<NkUnixSocket>(listener));
  dup.Close();
  c.far->Close();
  EXPECT_TRUE(S_ISSOCK(FileMode()));
  listener->Close();
  EXPECT_EQ(0u, FileMode());

  // A mode set before Create is the one the file gets.
  listener = CreateIPC(address(), "");
  std::static_pointer_cast<NkUnixSocket>(listener)->SetMode(0700);
  listener->SetServer(true);
  listener->Create();
  EXPECT_EQ(0700u, FileMode() & 0777);
}

TEST_F(UnixListenerTest, LiveSocketIsRefusedStaleOneReplacedRegularFileKept) {
  LogCapture log;
  {
    NkIfIPCPtr live = Listen(address());
    EXPECT_THROW(Listen(address()), base::NkSystemError);
    EXPECT_EQ(1, log.Count(base::NK_LOG_ERROR, "- somebody uses this socket"));
    EXPECT_TRUE(S_ISSOCK(FileMode()));
  }
  ASSERT_TRUE(testing_support::RawUnixSocket(path(), true).ok());  // left behind, nobody listens
  ASSERT_TRUE(S_ISSOCK(FileMode()));
  {
    NkIfIPCPtr replacement = Listen(address());
    EXPECT_EQ(1, log.Count(base::NK_LOG_ALERT, "stalled socket has been removed and binded"));
    EXPECT_EQ(1, log.Count(base::NK_LOG_INFO, "stalled socket has been detected"));
    EXPECT_TRUE(CreateIPC("", address())->Connect(kGenerous));
  }
  std::ofstream(path()) << "precious";
  EXPECT_THROW(Listen(address()), base::NkSystemError);
  EXPECT_TRUE(S_ISREG(FileMode()));
}

TEST(InetTest, ConnectFailures) {
  // Nobody listens on a port that was just released.
  NkIfIPCPtr refused = CreateIPC("", testing_support::FreeTcpAddress());
  const std::string error = ErrorText([&] { refused->Connect(kGenerous); });
  EXPECT_EQ(0u, error.find("Socket::Connect: [")) << error;
  EXPECT_EQ(-1, refused->GetHandle());

  // With the accept queue full, the handshake stays in progress until the
  // time-out.
  NkIfIPCPtr full = Listen("inet:0@127.0.0.1", 0);
  std::vector<NkIfIPCPtr> clients;
  bool timed_out = false;
  for (int i = 0; i < 8 && !timed_out; ++i) {
    clients.push_back(CreateIPC(NkIpcAddressPtr(), full->GetLocalAddress()));
    try {
      clients.back()->Connect(NkTimeout::Milliseconds(300));
    } catch (const base::NkTimedOut&) {
      timed_out = true;
    }
  }
  if (!timed_out) GTEST_SKIP() << "this kernel completes handshakes beyond the backlog";
}

TEST(InetTest, SendFileRegions) {
  TempDir dir;
  const std::string path = dir.path() + "/data";
  std::string content(10000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
  std::ofstream(path) << content;
  testing_support::Connection tcp = testing_support::Connect(testing_support::Transport::kTcp, dir.path());
  NkIfIPC& client = *tcp.near;

  EXPECT_THROW(client.SendFile(path, 9000, 1001, kGenerous), base::NkParameterError);
  EXPECT_THROW(client.SendFile(path, 10001, 0, kGenerous), base::NkParameterError);
  EXPECT_THROW(client.SendFile(dir.path() + "/missing", 0, 1, kGenerous), base::NkSystemError);
  EXPECT_TRUE(client.SendFile(path, 0, 0, kGenerous));  // zero bytes: nothing at all
  // An offset that is not a multiple of the page size.
  EXPECT_TRUE(client.SendFile(path, 4099, 1000, kGenerous));
  EXPECT_TRUE(client.SendFile(path, 0, 10000, kGenerous));
  EXPECT_EQ(content.substr(4099, 1000) + content, ReadAll(*tcp.far, 11000));
  size_t count = 1;
  char c;
  EXPECT_THROW(tcp.far->Receive(&c, count, NkTimeout::Milliseconds(50)), base::NkTimedOut);
}

}  // namespace
}  // namespace ipc
}  // namespace norvak
