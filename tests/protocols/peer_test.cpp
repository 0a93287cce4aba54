// Who is at the far end of a loopback TCP connection, from real sockets, and
// what the /proc socket table says where netlink cannot be asked.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "ipc/nk_unique_fd.h"
#include "protocols/nk_peer.h"

namespace norvak {
namespace maild {
namespace {

using base::UniqueFd;

sockaddr_storage Address(const std::string& host, uint16_t port = 0) {
  sockaddr_storage a = {};
  auto* in = reinterpret_cast<sockaddr_in*>(&a);
  const bool v4 = inet_pton(AF_INET, host.c_str(), &in->sin_addr) == 1;
  if (!v4) inet_pton(AF_INET6, host.c_str(), &reinterpret_cast<sockaddr_in6*>(&a)->sin6_addr);
  a.ss_family = v4 ? AF_INET : AF_INET6;
  in->sin_port = htons(port);  // where sockaddr_in6 has its port too
  return a;
}

sockaddr_storage Name(int fd, bool peer) {
  sockaddr_storage a = {};
  socklen_t length = sizeof(a);
  (peer ? getpeername : getsockname)(fd, reinterpret_cast<sockaddr*>(&a), &length);
  return a;
}

// None where this host has no such address.
UniqueFd Listen(const std::string& host) {
  const sockaddr_storage a = Address(host);
  UniqueFd fd(socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int off = 0;
  if (a.ss_family == AF_INET6) setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
  const bool bound = bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0;
  return bound && listen(fd.get(), 4) == 0 ? std::move(fd) : UniqueFd();
}

struct Connection { UniqueFd client, server; };

Connection Connect(int listener, const std::string& host) {
  const sockaddr_storage name = Name(listener, false);
  const auto port = ntohs(reinterpret_cast<const sockaddr_in&>(name).sin_port);
  const sockaddr_storage where = Address(host, port);
  Connection c{UniqueFd(socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0)), UniqueFd()};
  if (connect(c.client.get(), reinterpret_cast<const sockaddr*>(&where), sizeof(where)) == 0)
    c.server.reset(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  return c;
}

TEST(NkPeerTest, LoopbackPeerIsTheUserWhoOwnsItsSocket) {
  const std::string euid = std::to_string(geteuid());
  // A dual-stack listener sees an IPv4 client under a v4-mapped address.
  const struct { const char* listen; const char* client; } cases[] = {
      {"127.0.0.1", "127.0.0.1"}, {"::1", "::1"}, {"::ffff:127.0.0.1", "127.0.0.1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listen);
    UniqueFd listener = Listen(c.listen);
    if (!listener && std::strchr(c.listen, ':')) continue;  // no IPv6 on this host
    const Connection connection = Connect(listener.get(), c.client);
    ASSERT_TRUE(connection.server);
    const NkPeer peer = NkIdentifyPeer(connection.server.get());
    EXPECT_EQ(peer.Key(), "uid:" + euid);
    EXPECT_EQ(peer.ToString(), "inet peer " + peer.address + " (uid " + euid + ")");
    // The table the lookup falls back on, as this kernel writes it, agrees.
    const sockaddr_storage far = Name(connection.server.get(), true);
    const sockaddr_storage near = Name(connection.server.get(), false);
    std::optional<uid_t> in_tables;
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
      std::ifstream table(path);
      if (const auto uid = internal::PeerUidFromProcTable(table, far, near)) in_tables = uid;
    }
    EXPECT_EQ(in_tables, std::optional<uid_t>(geteuid()));
  }
}

TEST(NkPeerTest, PeerMadeByAnotherUserIsThatUser) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can connect as nobody";
  UniqueFd listener = Listen("127.0.0.1");
  const sockaddr_storage where = Name(listener.get(), false);
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  UniqueFd parent_end(ends[0]), child_end(ends[1]);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    parent_end.reset();
    char byte = 0;
    const int fd = setuid(65534) == 0 ? socket(AF_INET, SOCK_STREAM, 0) : -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof(where)) == 0 &&
        write(child_end.get(), &byte, 1) == 1) {
      (void)!read(child_end.get(), &byte, 1);  // holds the connection until the parent is done
    }
    _exit(0);
  }
  child_end.reset();
  char byte;
  const bool connected = read(parent_end.get(), &byte, 1) == 1;
  UniqueFd server(connected ? accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC) : -1);
  const NkPeer peer = NkIdentifyPeer(server.get());
  parent_end.reset();
  EXPECT_EQ(waitpid(child, nullptr, 0), child);
  ASSERT_TRUE(connected);
  EXPECT_EQ(peer.Key(), "uid:65534") << peer.ToString();
}

TEST(NkPeerTest, VanishedPeerIsNobodyInParticular) {
  UniqueFd listener = Listen("127.0.0.1");
  // Closed: the peer's end lingers orphaned, or as a stand-in owned by uid 0.
  Connection closed = Connect(listener.get(), "127.0.0.1");
  ASSERT_TRUE(closed.server);
  closed.client.reset();
  EXPECT_EQ(NkIdentifyPeer(closed.server.get()).Key(), "addr:127.0.0.1");

  // Closed first, then told of our close: the peer's end is in TIME_WAIT.
  Connection done = Connect(listener.get(), "127.0.0.1");
  ASSERT_TRUE(done.server);
  const sockaddr_storage far = Name(done.server.get(), true);
  const sockaddr_storage near = Name(done.server.get(), false);
  char byte;
  ASSERT_EQ(shutdown(done.client.get(), SHUT_WR), 0);
  ASSERT_EQ(read(done.server.get(), &byte, 1), 0);
  done.server.reset();
  ASSERT_EQ(read(done.client.get(), &byte, 1), 0);
  EXPECT_EQ(internal::LoopbackPeerUid(far, near), std::nullopt);
  EXPECT_EQ(NkPeer().Key(), "unknown");
}

TEST(NkPeerTest, ProcTableNamesOnlyALiveOwnerOfThePeersEnd) {
  if (htonl(1) == 1) GTEST_SKIP() << "the lines below are as a little-endian kernel writes them";
  // The peer 127.0.0.1:40112 connected to us at 127.0.0.1:8200.
  const std::string peer = "0100007F:9CB0", us = "0100007F:2008";
  const std::string mapped = "0000000000000000FFFF0000";
  auto row = [](const std::string& own, const std::string& far, const char* state, const char* uid,
                const char* inode) {
    return "  7: " + own + " " + far + " " + state + " 00000000:00000000 00:00000000 00000000 " +
           uid + " 0 " + inode + " 1 0000000000000000 20 4 30 10 -1\n";
  };
  const struct { const char* what; std::string table; std::optional<uid_t> uid; } cases[] = {
      {"established", row(peer, us, "01", "1000", "42"), 1000},
      {"our own end", row(us, peer, "01", "0", "43"), std::nullopt},
      {"time-wait", row(peer, us, "06", "0", "0"), std::nullopt},
      {"orphaned", row(peer, us, "05", "0", "0"), std::nullopt},
      {"still held", row(peer, us, "05", "1000", "42"), 1000},
      {"last-ack", row(peer, us, "09", "1000", "42"), std::nullopt},
      {"two owners", row(peer, us, "01", "1", "42") + row(peer, us, "01", "0", "43"), std::nullopt},
      {"tcp6", row(mapped + peer, mapped + us, "01", "1000", "42"), 1000},
      {"malformed", "  7: " + peer + " " + us + " 01\n" + row(peer, us, "01", "-1", "42") +
                        row(peer, us, "01", "4294967295", "42") + row(peer, us, "1", "0", "42") +
                        row(peer, "0100007G:2008", "01", "0", "42") +
                        row(peer + "0", us, "01", "0", "42") + row(peer, us, "01", "1000", "42"),
       1000},
  };
  for (const auto& c : cases) {
    std::istringstream table("  sl  local_address rem_address st ... uid inode\n" + c.table);
    const auto uid = internal::PeerUidFromProcTable(table, Address("127.0.0.1", 40112),
                                                    Address("127.0.0.1", 8200));
    EXPECT_EQ(uid, c.uid) << c.what;
  }
}

}  // namespace
}  // namespace maild
}  // namespace norvak
