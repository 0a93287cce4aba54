#include "protocols/nk_peer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#endif
#if defined(__FreeBSD__)
#include <sys/param.h>
#include <sys/sysctl.h>
#include <sys/ucred.h>
#endif

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>
#include <vector>

#include "ipc/nk_unique_fd.h"

namespace norvak {
namespace maild {

namespace {

bool LocalCredentials(int fd, NkPeer* peer) {
#if defined(SO_PEERCRED)
  struct ucred credentials;
  socklen_t length = sizeof(credentials);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof(credentials)) {
    return false;
  }
  peer->uid = credentials.uid;
  peer->gid = credentials.gid;
  peer->pid = credentials.pid;
  return true;
#else
  uid_t uid;
  gid_t gid;
  if (getpeereid(fd, &uid, &gid) != 0) return false;
  peer->uid = uid;
  peer->gid = gid;
  return true;
#endif
}

void InetAddress(const sockaddr_storage& storage, NkPeer* peer) {
  char host[INET6_ADDRSTRLEN] = "";
  unsigned port = 0;
  if (storage.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof(host));
    port = ntohs(in->sin_port);
    peer->loopback = (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    peer->host = host;
    peer->address = peer->host + ":" + std::to_string(port);
    return;
  }
  const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
  inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof(host));
  port = ntohs(in6->sin6_port);
  const uint8_t* bytes = in6->sin6_addr.s6_addr;
  // A v4-mapped 127.x.y.z came over the IPv4 loopback all the same.
  peer->loopback = IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) ||
                   (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr) && bytes[12] == 127);
  peer->address = "[" + std::string(host) + "]:" + std::to_string(port);
  peer->host = host;
  char v4[INET_ADDRSTRLEN] = "";
  if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr) && inet_ntop(AF_INET, bytes + 12, v4, sizeof(v4)))
    peer->host = v4;
}

// One end of a TCP connection, v4-mapped addresses in their IPv4 form: the
// kernel keeps a dual-stack socket's IPv4 connections in the IPv4 table, and
// either side may name the same connection in either form.
struct Endpoint {
  int family = AF_UNSPEC;
  unsigned char address[16] = {};  // network order; 4 bytes for AF_INET
  uint16_t port = 0;               // host order

  bool operator==(const Endpoint& other) const {
    return family == other.family && port == other.port &&
           std::memcmp(address, other.address, sizeof(address)) == 0;
  }
};

Endpoint ToEndpoint(int family, const void* address, uint16_t port) {
  Endpoint endpoint;
  const auto* bytes = static_cast<const unsigned char*>(address);
  static const unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (family == AF_INET) {
    std::memcpy(endpoint.address, bytes, 4);
  } else if (family == AF_INET6 && std::memcmp(bytes, kMappedPrefix, 12) == 0) {
    family = AF_INET;
    std::memcpy(endpoint.address, bytes + 12, 4);
  } else if (family == AF_INET6) {
    std::memcpy(endpoint.address, bytes, 16);
  } else {
    return endpoint;
  }
  endpoint.family = family;
  endpoint.port = port;
  return endpoint;
}

Endpoint ToEndpoint(const sockaddr_storage& storage) {
  if (storage.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
    return ToEndpoint(AF_INET, &in->sin_addr, ntohs(in->sin_port));
  }
  if (storage.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    return ToEndpoint(AF_INET6, &in6->sin6_addr, ntohs(in6->sin6_port));
  }
  return Endpoint();
}

// TCP states as Linux numbers them, in its socket table and its answers.
enum LinuxTcpState {
  kEstablished = 1,
  kFinWait1 = 4,
  kFinWait2 = 5,
  kCloseWait = 8,
};

// Only a socket that a process still holds names a user. A socket whose
// owner closed it lingers orphaned (inode 0); TIME_WAIT entries, and the
// stand-ins the kernel keeps for orphaned FIN_WAIT2 sockets, report uid 0:
// counting any of them would make a vanished peer root.
bool HeldByAProcess(unsigned state, unsigned long inode) {
  switch (state) {
    case kEstablished:
      return true;
    case kFinWait1:
    case kFinWait2:
    case kCloseWait:
      return inode != 0;
    default:
      return false;
  }
}

template <typename Number>
bool ParseNumber(const std::string& text, int base, Number* number) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, *number, base);
  return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

// "0100007F:9CB0": the address as the kernel prints it, one native-order
// 32-bit word after another, and the port in hex.
bool ParseProcEndpoint(const std::string& text, Endpoint* endpoint) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string hex = text.substr(0, colon);
  uint16_t port;
  if ((hex.size() != 8 && hex.size() != 32) || text.size() - colon - 1 != 4 ||
      !ParseNumber(text.substr(colon + 1), 16, &port)) {
    return false;
  }
  unsigned char bytes[16];
  for (size_t word = 0; word < hex.size() / 8; ++word) {
    uint32_t value;
    if (!ParseNumber(hex.substr(word * 8, 8), 16, &value)) return false;
    std::memcpy(bytes + word * 4, &value, 4);
  }
  *endpoint = ToEndpoint(hex.size() == 8 ? AF_INET : AF_INET6, bytes, port);
  return true;
}

#if defined(__linux__)

enum class Answer { kOwned, kNoSuchSocket, kFailed };

void ToDiagAddress(const Endpoint& endpoint, __be32 (&address)[4]) {
  std::memcpy(address, endpoint.address, endpoint.family == AF_INET ? 4 : 16);
}

// Asks the kernel for the one socket whose own end is `peer` and whose far
// end is `local`.
Answer AskSockDiag(const Endpoint& peer, const Endpoint& local, uid_t* uid) {
  // A server thread waits on this: never longer than a second.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  base::UniqueFd socket_fd(
      socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG));
  if (!socket_fd) return Answer::kFailed;

  static std::atomic<uint32_t> sequence{0};
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } query;
  std::memset(&query, 0, sizeof(query));
  query.header.nlmsg_len = NLMSG_LENGTH(sizeof(query.request));
  query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  query.header.nlmsg_flags = NLM_F_REQUEST;
  query.header.nlmsg_seq = ++sequence;
  query.request.sdiag_family = static_cast<uint8_t>(peer.family);
  query.request.sdiag_protocol = IPPROTO_TCP;
  query.request.idiag_states = ~0u;
  query.request.id.idiag_sport = htons(peer.port);
  query.request.id.idiag_dport = htons(local.port);
  ToDiagAddress(peer, query.request.id.idiag_src);
  ToDiagAddress(local, query.request.id.idiag_dst);
  query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel;
  std::memset(&kernel, 0, sizeof(kernel));
  kernel.nl_family = AF_NETLINK;
  if (sendto(socket_fd.get(), &query, query.header.nlmsg_len, 0,
             reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel)) !=
      static_cast<ssize_t>(query.header.nlmsg_len)) {
    return Answer::kFailed;
  }

  std::vector<unsigned char> buffer(8192);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Answer::kFailed;
    pollfd readable = {socket_fd.get(), POLLIN, 0};
    const int ready = poll(&readable, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return Answer::kFailed;

    sockaddr_nl sender;
    socklen_t sender_length = sizeof(sender);
    const ssize_t received =
        recvfrom(socket_fd.get(), buffer.data(), buffer.size(), MSG_TRUNC,
                 reinterpret_cast<sockaddr*>(&sender), &sender_length);
    if (received < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (received < 0 || static_cast<size_t>(received) > buffer.size()) return Answer::kFailed;
    // Other processes may write to this socket too; only the kernel answers.
    if (sender_length != sizeof(sender) || sender.nl_family != AF_NETLINK || sender.nl_pid != 0)
      continue;

    const size_t size = static_cast<size_t>(received);
    size_t offset = 0;
    while (size - offset >= NLMSG_HDRLEN) {
      nlmsghdr header;
      std::memcpy(&header, buffer.data() + offset, sizeof(header));
      if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > size - offset)
        return Answer::kFailed;
      const unsigned char* payload = buffer.data() + offset + NLMSG_HDRLEN;
      const size_t payload_length = header.nlmsg_len - NLMSG_HDRLEN;
      offset = std::min(size, offset + NLMSG_ALIGN(header.nlmsg_len));
      if (header.nlmsg_seq != query.header.nlmsg_seq) continue;

      if (header.nlmsg_type == NLMSG_ERROR) {
        nlmsgerr error;
        if (payload_length < sizeof(error)) return Answer::kFailed;
        std::memcpy(&error, payload, sizeof(error));
        if (error.error == 0) continue;  // an acknowledgement, not an answer
        return error.error == -ENOENT ? Answer::kNoSuchSocket : Answer::kFailed;
      }
      if (header.nlmsg_type == NLMSG_DONE) return Answer::kNoSuchSocket;
      if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;

      inet_diag_msg socket_info;
      if (payload_length < sizeof(socket_info)) return Answer::kFailed;
      std::memcpy(&socket_info, payload, sizeof(socket_info));
      const Endpoint own = ToEndpoint(socket_info.idiag_family, socket_info.id.idiag_src,
                                      ntohs(socket_info.id.idiag_sport));
      const Endpoint far = ToEndpoint(socket_info.idiag_family, socket_info.id.idiag_dst,
                                      ntohs(socket_info.id.idiag_dport));
      if (!(own == peer) || !(far == local)) return Answer::kFailed;
      if (!HeldByAProcess(socket_info.idiag_state, socket_info.idiag_inode))
        return Answer::kNoSuchSocket;
      *uid = socket_info.idiag_uid;
      return Answer::kOwned;
    }
  }
}

// For kernels without inet socket diagnostics.
std::optional<uid_t> ReadProcTables(const sockaddr_storage& peer,
                                    const sockaddr_storage& local) {
  // A connection's socket is in one table only: IPv6 sockets, v4-mapped
  // ones too, are all in tcp6.
  for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream table(path);
    if (const std::optional<uid_t> owner = internal::PeerUidFromProcTable(table, peer, local))
      return owner;
  }
  return std::nullopt;
}

#endif  // __linux__

#if defined(__FreeBSD__)

// The getcred sysctls want root (PRIV_NETINET_GETCRED); others learn nothing.
// They say nothing of the socket's state, but what they report is the
// credential of the process that made the socket, never a stand-in root.
std::optional<uid_t> AskGetcred(const Endpoint& peer, const Endpoint& local) {
  xucred credentials;
  size_t length = sizeof(credentials);
  int result;
  // [0] is the socket's own end, [1] its far end.
  if (peer.family == AF_INET) {
    sockaddr_in ends[2];
    std::memset(ends, 0, sizeof(ends));
    const Endpoint* endpoints[2] = {&peer, &local};
    for (int i = 0; i < 2; ++i) {
      ends[i].sin_len = sizeof(sockaddr_in);
      ends[i].sin_family = AF_INET;
      ends[i].sin_port = htons(endpoints[i]->port);
      std::memcpy(&ends[i].sin_addr, endpoints[i]->address, 4);
    }
    result = sysctlbyname("net.inet.tcp.getcred", &credentials, &length, ends, sizeof(ends));
  } else {
    sockaddr_in6 ends[2];
    std::memset(ends, 0, sizeof(ends));
    const Endpoint* endpoints[2] = {&peer, &local};
    for (int i = 0; i < 2; ++i) {
      ends[i].sin6_len = sizeof(sockaddr_in6);
      ends[i].sin6_family = AF_INET6;
      ends[i].sin6_port = htons(endpoints[i]->port);
      std::memcpy(&ends[i].sin6_addr, endpoints[i]->address, 16);
    }
    result = sysctlbyname("net.inet6.tcp6.getcred", &credentials, &length, ends, sizeof(ends));
  }
  if (result != 0 || length != sizeof(credentials) || credentials.cr_version != XUCRED_VERSION)
    return std::nullopt;
  return credentials.cr_uid;
}

#endif  // __FreeBSD__

}  // namespace

namespace internal {

std::optional<uid_t> LoopbackPeerUid(const sockaddr_storage& peer, const sockaddr_storage& local) {
  const Endpoint own = ToEndpoint(peer);
  const Endpoint far = ToEndpoint(local);
  if (own.family == AF_UNSPEC || own.family != far.family) return std::nullopt;
#if defined(__linux__)
  uid_t uid;
  switch (AskSockDiag(own, far, &uid)) {
    case Answer::kOwned:
      return uid;
    case Answer::kNoSuchSocket:
      return std::nullopt;
    case Answer::kFailed:
      break;
  }
  return ReadProcTables(peer, local);
#elif defined(__FreeBSD__)
  return AskGetcred(own, far);
#else
  return std::nullopt;
#endif
}

std::optional<uid_t> PeerUidFromProcTable(std::istream& table, const sockaddr_storage& peer,
                                          const sockaddr_storage& local) {
  const Endpoint own = ToEndpoint(peer);
  const Endpoint far = ToEndpoint(local);
  if (own.family == AF_UNSPEC) return std::nullopt;
  std::optional<uid_t> owner;
  std::string line;
  while (std::getline(table, line)) {
    // sl local_address rem_address st queues timer retransmits uid timeout inode ...
    std::istringstream fields(line);
    std::string field[10];
    for (std::string& f : field) fields >> f;
    Endpoint line_own;
    Endpoint line_far;
    unsigned state;
    uid_t uid;
    unsigned long inode;
    if (!ParseProcEndpoint(field[1], &line_own) || !(line_own == own) ||
        !ParseProcEndpoint(field[2], &line_far) || !(line_far == far) ||
        field[3].size() != 2 || !ParseNumber(field[3], 16, &state) ||
        !ParseNumber(field[7], 10, &uid) || uid == static_cast<uid_t>(-1) ||
        !ParseNumber(field[9], 10, &inode) || !HeldByAProcess(state, inode)) {
      continue;
    }
    if (owner && *owner != uid) return std::nullopt;
    owner = uid;
  }
  return owner;
}

}  // namespace internal

std::string NkPeer::ToString() const {
  switch (transport) {
    case kLocal:
      if (!has_credentials) return "local peer (credentials unknown)";
      return "local peer (" + (pid > 0 ? "pid " + std::to_string(pid) + ", " : std::string()) +
             "uid " + std::to_string(uid) + ", gid " + std::to_string(gid) + ")";
    case kInet:
      if (!has_credentials) return "inet peer " + address;
      return "inet peer " + address + " (uid " + std::to_string(uid) + ")";
    case kUnknown:
      break;
  }
  return "unknown peer";
}

std::string NkPeer::Key() const {
  if (has_credentials) return "uid:" + std::to_string(uid);
  if (transport == kInet && !host.empty()) return "addr:" + host;
  return "unknown";
}

NkPeer NkIdentifyPeer(int fd) {
  NkPeer peer;
  if (fd < 0) return peer;
  sockaddr_storage local;
  std::memset(&local, 0, sizeof(local));
  socklen_t length = sizeof(local);
  // The local name tells the family even when the peer's has none (an
  // unbound Unix-domain client).
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return peer;
  if (local.ss_family == AF_UNIX) {
    peer.transport = NkPeer::kLocal;
    peer.has_credentials = LocalCredentials(fd, &peer);
    return peer;
  }
  if (local.ss_family != AF_INET && local.ss_family != AF_INET6) return peer;
  sockaddr_storage remote;
  std::memset(&remote, 0, sizeof(remote));
  length = sizeof(remote);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &length) != 0) return peer;
  if (remote.ss_family != AF_INET && remote.ss_family != AF_INET6) return peer;
  peer.transport = NkPeer::kInet;
  try {
    InetAddress(remote, &peer);
    // Beyond the loopback the socket table holds no peer's socket.
    if (!peer.loopback) return peer;
    if (const std::optional<uid_t> owner = internal::LoopbackPeerUid(remote, local)) {
      peer.uid = *owner;
      peer.has_credentials = true;
    }
  } catch (const std::exception&) {
    // Only memory runs out here; the peer stays a stranger.
  }
  return peer;
}

}  // namespace maild
}  // namespace norvak
