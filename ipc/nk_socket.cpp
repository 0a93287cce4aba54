#include "nk_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "nk_exception.h"
#include "nk_interruption.h"
#include "nk_ipc_error.h"
#include "nk_log.h"

namespace norvak {
namespace ipc {

using base::NkErrorText;
using base::NkException;
using base::NkParameterError;
using base::NkSystemError;
using base::NkTime;
using base::NkTimeout;
using base::UniqueFd;

namespace {

constexpr int kConnectAttempts = 6;
constexpr int kConnectRetryPauseMs = 50;

// The monotonic moment a wait of `timeout` started now must end
// (undefined for an infinite one).
NkTime EndOf(const NkTimeout& timeout) { return NkTime::MonotonicNow() + timeout; }

NkTimeout LeftUntil(const NkTime& end) { return end - NkTime::MonotonicNow(); }

class Mapping {
 public:
  Mapping(void* address, size_t length) : address_(address), length_(length) {}
  ~Mapping() { munmap(address_, length_); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

 private:
  void* address_;
  size_t length_;
};

}  // namespace

NkSocket::~NkSocket() { CloseHandle(); }

bool NkSocket::IsReady(int events, const NkTimeout& timeout, bool shorten) {
  if (events == 0) return true;
  // A blocking socket with no time limit simply blocks in the transfer.
  if (timeout.IsInfinite() && !non_blocking_) return true;
  if (!fd_) throw NkIpcErrorClosed(this, "Socket::IsReady for ");

  const NkTime end = EndOf(timeout);
  for (;;) {
    int slice = base::kNkOneSecondTimeout.AsPollTimeout();
    if (!timeout.IsInfinite() && shorten) {
      slice = std::min(slice, LeftUntil(end).AsPollTimeout());
    }
    pollfd entry = {fd_.get(), static_cast<short>(events), 0};
    const int rc = poll(&entry, 1, slice);
    if (rc < 0) {
      const int error = errno;
      if (error == EINTR) {
        base::NkLogDebug("IsReady(0x" + base::NkHexText(events) + ") for " + GetDescription() +
                         " is interrupted, restarted");
        continue;
      }
      LogFailure("IsReady(0x" + base::NkHexText(events) + ") for " + GetDescription() +
                 "): " + NkErrorText(error));
      throw NkSystemError("Socket::IsReady", error);
    }
    if (rc == 0) {
      // Measured on the clock rather than counted in slices, so restarted
      // polls cannot stretch the wait.
      if (!timeout.IsInfinite() && LeftUntil(end).IsZero()) {
        throw base::NkTimedOut("Socket::IsReady(0x" + base::NkHexText(events) + ") for " + GetDescription(),
                               timeout);
      }
      base::NkRunInterruptionHook();
      continue;
    }
    const int revents = entry.revents;
    // A peer that sent its last bytes and closed shows both data and
    // hang-up: the data must still be read; the read itself reports the end.
    if ((events & POLLIN) && (revents & POLLIN)) return true;
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
      base::NkLogDebug("poll return 0x" + base::NkHexText(revents) + ") for " + GetDescription());
      // A hang-up is the peer's doing whichever way we were waiting.
      if ((events & POLLIN) || (revents & POLLHUP)) {
        throw NkIpcErrorClosedByPeer(this, "Socket::IsReady for ");
      }
      throw NkIpcErrorClosed(this, "Socket::IsReady for ");
    }
    if (revents & events) return true;
    base::NkLogDebug("poll return 0x" + base::NkHexText(revents) + ") for " + GetDescription());
    throw NkException("IsReady - abnormal polling method termination");
  }
}

bool NkSocket::Receive(void* data, size_t& count, const NkTimeout& timeout) {
  const size_t wanted = count;
  size_t received = 0;
  const NkTime end = EndOf(timeout);
  char* bytes = static_cast<char*>(data);
  while (received < wanted) {
    // The bytes are usually there already (a reply follows its request), so
    // the read is tried first and the wait is paid only when it would block.
    const size_t still = wanted - received;
    const ssize_t rc = recv(fd_.get(), bytes + received, still, MSG_DONTWAIT);
    if (rc < 0) {
      const int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK) {
        IsReady(POLLIN, LeftUntil(end), true);
        continue;
      }
      if (error == EINTR) {
        base::NkLogDebug("Socket::Receive from " + GetDescription() + " is interrupted, restarted");
        continue;
      }
      count = received;
      LogFailure("rcv " + std::to_string(still) + " bytes from " + GetDescription() +
                 " failed: " + NkErrorText(error));
      if (error == ECONNRESET) throw NkIpcErrorClosedByPeer(this, "Socket::Receive ");
      throw NkSystemError("Socket::Receive ", error);
    }
    if (rc == 0) {
      count = received;
      base::NkLogDebug("Socket::Receive(" + std::to_string(still) + ") from " + GetDescription() +
                       " - connection has been closed by peer");
      throw NkIpcErrorClosedByPeer(this, "Socket::Receive ");
    }
    received += static_cast<size_t>(rc);
    if (static_cast<size_t>(rc) < still && base::NkLogEnabled(base::NK_LOG_DEBUG)) {
      base::NkLogDebug("Socket::Receive(" + std::to_string(still) + "/" + std::to_string(wanted) +
                       ") from " + GetDescription() + " currenlty received only " +
                       std::to_string(rc) + "/" + std::to_string(received) + " bytes");
    }
  }
  count = received;
  return true;
}

bool NkSocket::Send(const void* data, size_t& count, const NkTimeout& timeout) {
  const size_t total = count;
  size_t sent = 0;
  const NkTime end = EndOf(timeout);
  const char* bytes = static_cast<const char*>(data);
  while (count > 0) {
    // Tried first for the same reason as in Receive: the buffer has room far
    // more often than not.
    const ssize_t rc = send(fd_.get(), bytes + sent, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (rc < 0) {
      const int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK) {
        IsReady(POLLOUT, LeftUntil(end), true);
        continue;
      }
      if (error == EINTR) {
        base::NkLogDebug("Socket::Send to " + GetDescription() + " is interrupted, restarted");
        continue;
      }
      LogFailure("send " + std::to_string(count) + " bytes to " + GetDescription() +
                 " failed: " + NkErrorText(error));
      // The peer went away between the readiness test and the send.
      if (error == EPIPE || error == ECONNRESET) {
        throw NkIpcErrorClosedByPeer(this, "Socket::Send ");
      }
      throw NkSystemError("Socket::Send", error);
    }
    const size_t still = count;
    sent += static_cast<size_t>(rc);
    count -= static_cast<size_t>(rc);
    if (count > 0 && base::NkLogEnabled(base::NK_LOG_DEBUG)) {
      base::NkLogDebug("Socket::Send(" + std::to_string(still) + "/" + std::to_string(total) +
                       ") to " + GetDescription() + " currenlty sent only " + std::to_string(rc) +
                       "/" + std::to_string(sent) + " bytes");
    }
  }
  return true;
}

bool NkSocket::Send(const std::string& data, const NkTimeout& timeout) {
  size_t count = data.size();
  return Send(data.data(), count, timeout);
}

bool NkSocket::Receive(std::string& data, const NkTimeout& timeout) {
  size_t count = data.size();
  return Receive(&data[0], count, timeout);
}

bool NkSocket::Connect(const NkTimeout& timeout) {
  server_ = false;
  if (!remote_ || remote_->GetFamily() == NkIpcAddress::kUnparsed) {
    base::NkLogDebug("Socket::Connect failed because cannot get remote address");
    throw NkIpcError(this, "Socket::Connect ", " - cannot get remote address");
  }
  if (!Create()) {
    Close();
    return false;
  }
  try {
    const NkTime end = EndOf(timeout);
    for (int attempt = 1;; ++attempt) {
      if (connect(fd_.get(), remote_->GetSockAddr(), remote_->GetSockAddrLen()) == 0) break;
      const int error = errno;
      if (error == EINPROGRESS || error == EINTR) {
        // The connection goes on in the background; its outcome is in
        // SO_ERROR once the socket turns writable (or reports an error).
        try {
          if (!IsReady(POLLOUT, LeftUntil(end), true)) {
            throw NkIpcError("Socket::Connect is failed in IsReady(POLLOUT)", "");
          }
        } catch (const NkIpcErrorClosed&) {
          int pending = 0;
          socklen_t length = sizeof(pending);
          if (getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending != 0) {
            throw NkSystemError("Socket::Connect", pending);
          }
          throw;
        }
        int pending = 0;
        socklen_t length = sizeof(pending);
        if (getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &pending, &length) != 0) pending = errno;
        if (pending != 0) throw NkSystemError("Socket::Connect", pending);
        break;
      }
      if (error == EAGAIN && attempt < kConnectAttempts) {
        base::NkLogDebug("Socket::Connect for " + GetDescription() + " failed because " +
                         NkErrorText(error));
        // A full backlog drains in its own time; give it a moment rather
        // than spinning, within what the caller allows.
        const NkTimeout left = LeftUntil(end);
        if (!timeout.IsInfinite() && left.IsZero()) {
          throw base::NkTimedOut("Socket::Connect for " + GetDescription(), timeout);
        }
        int pause = kConnectRetryPauseMs;
        if (!left.IsInfinite()) pause = std::min(pause, left.AsPollTimeout());
        poll(nullptr, 0, pause);
        continue;
      }
      throw NkSystemError("Socket::Connect", error);
    }
  } catch (...) {
    Close();
    throw;
  }
  GetLocalSocketAddress();
  connected_ = true;
  base::NkLogDebug("Socket::Connect done for " + GetDescription());
  return true;
}

bool NkSocket::Listen(int backlog) {
  if (listen(fd_.get(), backlog) != 0) {
    const int error = errno;
    base::NkLogError("listen error for " + GetDescription() + ": " + NkErrorText(error));
    throw NkSystemError("Socket::Listen", error);
  }
  listening_ = true;
  return true;
}

bool NkSocket::Accept(const NkTimeout& timeout, NkIfIPC* connection) {
  NkSocket* target = dynamic_cast<NkSocket*>(connection);
  if (target == nullptr || target == this) {
    throw NkParameterError("Socket::Accept", "connection", connection == nullptr ? "null" : "invalid");
  }
  if (!server_ || !listening_ || !fd_) {
    if (!local_ || local_->GetFamily() == NkIpcAddress::kUnparsed) {
      base::NkLogDebug("Socket::Accept failed because cannot get local address");
      throw NkIpcError(this, "Socket::Accept ", " - cannot get local address");
    }
    server_ = true;
    if (!Create() || !Listen(kDefaultBacklog)) return false;
  }
  const NkTime end = EndOf(timeout);
  int fd = -1;
  for (;;) {
    IsReady(POLLIN, LeftUntil(end), false);
    fd = accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) break;
    const int error = errno;
    // ECONNABORTED: the peer gave up while queued; wait for the next one.
    if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED) {
      base::NkLogDebug("Socket::Accept for " + GetDescription() + " is interrupted, restarted");
      continue;
    }
    LogFailure("accept at " + GetDescription() + ") failed: " + NkErrorText(error));
    throw NkSystemError("Socket::Accept", error);
  }
  target->SetHandle(fd);
  target->bound_ = false;
  target->CopyOptions(*this);
  target->ApplyOptions();
  target->connected_ = true;
  target->listening_ = false;
  target->server_ = true;
  target->local_ = local_;
  target->remote_ = target->MakeAddress();
  target->GetRemoteSocketAddress();
  return true;
}

bool NkSocket::SendFile(const std::string& path, uint64_t offset, uint64_t length,
                        const NkTimeout& timeout) {
  UniqueFd file;
  do {
    file.reset(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  } while (!file && errno == EINTR);
  if (!file) throw NkSystemError("open file", errno);
  const int fd = file.get();

  const off_t size = lseek(fd, 0, SEEK_END);
  if (size < 0) throw NkSystemError("lseek to end", errno);
  if (offset > static_cast<uint64_t>(size) || length > static_cast<uint64_t>(size) - offset) {
    throw NkParameterError("Socket::SendFile(" + path + ")", "a length", "points beyond file size");
  }
  if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    throw NkSystemError("lseek to start", errno);
  }
  // Zero bytes asked for means zero bytes sent: a file whose announced size
  // wrapped to 0 must not put its whole content on the stream.
  if (length > 0) {
    try {
      SendFromFileHandle(fd, static_cast<int64_t>(length), timeout);
    } catch (const NkException& e) {
      LogFailure("Socket::SendFile(" + path + ") to " + GetDescription() +
                 " failed because: " + e.what());
      throw;
    } catch (const std::exception& e) {
      LogFailure("Socket::SendFile(" + path + ") to " + GetDescription() +
                 " failed because: " + e.what());
      throw NkIpcError(this, "Socket::SendFile ", std::string(" - ") + e.what());
    }
  }
  if (file.close() != 0 && errno != EINTR) throw NkSystemError("close file", errno);
  return true;
}

bool NkSocket::SendFromFileHandle(int fd, int64_t length, const NkTimeout& timeout) {
  if (fd < 0) {
    throw NkParameterError("Socket::SendFromFileHandle(" + std::to_string(fd) +
                               ") failed: an invalid file handle has been passed",
                           "file handle", std::to_string(fd));
  }
  if (length < 0) return true;
  struct stat status;
  if (fstat(fd, &status) != 0) throw NkSystemError("get file length", errno);
  const off_t position = lseek(fd, 0, SEEK_CUR);
  if (position < 0) throw NkSystemError("get file length", errno);
  const int64_t available = std::max<int64_t>(0, status.st_size - position);
  if (length == 0) length = available;
  if (length == 0) return true;
  // Touching a mapped page past the end of the file kills the process with
  // SIGBUS, so the region must lie within the file.
  if (length > available) {
    throw NkParameterError("Socket::SendFromFileHandle(" + std::to_string(fd) + ")", "a length",
                           "points beyond file size");
  }
  if (static_cast<uint64_t>(length) > UINT32_MAX) {
    throw NkParameterError("Socket::SendFromFileHandle(" + std::to_string(fd) + ")", "a length",
                           "4 GiB or more");
  }
  // mmap wants a page-aligned offset: map from the page start and skip the
  // head.
  const long page = sysconf(_SC_PAGESIZE);
  const off_t head = position % page;
  const size_t mapped = static_cast<size_t>(head + length);
  void* address = mmap(nullptr, mapped, PROT_READ, MAP_SHARED, fd, position - head);
  if (address == MAP_FAILED) throw NkSystemError("mmap syscall", errno);
  Mapping mapping(address, mapped);
  size_t count = static_cast<size_t>(length);
  try {
    Send(static_cast<const char*>(address) + head, count, timeout);
  } catch (const std::exception& e) {
    LogFailure("Socket::SendFromFileHandle over " + GetDescription() + " failed: " + e.what());
    throw;
  }
  return true;
}

bool NkSocket::CloseHandle() {
  if (!fd_) return true;
  bool ok = true;
  const int fd = fd_.get();
  // On Linux the descriptor is gone even when close reports EINTR; closing
  // it again could hit a descriptor another thread just opened.
  if (fd_.close() != 0 && errno != EINTR) {
    const int error = errno;
    ok = false;
    if (error == EBADF) {
      base::NkLogAlert("Socket::Close for " + DescribeWith(fd) + ": bad file descriptor");
    } else {
      base::NkLogError("close for " + DescribeWith(fd) + ") failed: " + NkErrorText(error));
    }
  }
  connected_ = false;
  return ok;
}

bool NkSocket::Close() {
  const bool ok = CloseHandle();
  bound_ = false;
  return ok;
}

void NkSocket::TakeAddresses(const NkSocket& other) {
  local_ = other.local_;
  remote_ = other.remote_;
}

bool NkSocket::Dup(const NkSocket& other) {
  // Replacing our own descriptor with its copy would first close it (and,
  // for a listener, remove its socket file).
  if (&other == this) return true;
  const int fd = !other.fd_ ? -1 : fcntl(other.fd_.get(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    const int error = !other.fd_ ? EBADF : errno;
    base::NkLogError("Socket::Dup failed because " + NkErrorText(error));
    throw NkSystemError("Socket::Dup", error);
  }
  SetHandle(fd);
  TakeAddresses(other);
  listening_ = other.listening_;
  server_ = other.server_;
  connected_ = other.connected_;
  never_expires_ = other.never_expires_;
  non_blocking_ = other.non_blocking_;
  // Only the original unlinks the socket file.
  bound_ = false;
  return true;
}

void NkSocket::SetHandle(int fd) {
  if (fd_.get() == fd) return;
  // Owned before the old one goes, so that a failing Close cannot leak it.
  UniqueFd adopted(fd);
  if (fd_) Close();
  fd_ = std::move(adopted);
}

void NkSocket::CopyOptions(const NkSocket& other) { non_blocking_ = other.non_blocking_; }

bool NkSocket::ApplyOptions() {
  if (!fd_) {
    base::NkLogDebug("Socket::ApplyOptions - handle is invalid");
    return false;
  }
  SetOption(SO_REUSEADDR, 1);
  if (non_blocking_) SetFlag(O_NONBLOCK);
  return true;
}

bool NkSocket::SetOption(int option, int value) {
  if (setsockopt(fd_.get(), SOL_SOCKET, option, &value, sizeof(value)) != 0) {
    throw NkSystemError("Socket::SetOption(" + std::to_string(option) + ") setsockopt failed",
                        errno);
  }
  return true;
}

bool NkSocket::SetFlag(int flag) {
  const int flags = fcntl(fd_.get(), F_GETFL);
  if (flags < 0) throw NkSystemError("Socket::SetFlag(" + std::to_string(flag) + ") get flags", errno);
  if (fcntl(fd_.get(), F_SETFL, flags | flag) != 0) {
    throw NkSystemError("Socket::SetFlag(" + std::to_string(flag) + ") set flags", errno);
  }
  return true;
}

bool NkSocket::ClearFlag(int flag) {
  const int flags = fcntl(fd_.get(), F_GETFL);
  if (flags < 0) {
    throw NkSystemError("Socket::ClearFlag(" + std::to_string(flag) + ") get flags", errno);
  }
  if (fcntl(fd_.get(), F_SETFL, flags & ~flag) != 0) {
    throw NkSystemError("Socket::ClearFlag(" + std::to_string(flag) + ") set flags", errno);
  }
  return true;
}

bool NkSocket::GetLocalSocketAddress() {
  if (!fd_) {
    base::NkLogDebug("GetLocalSocketAddress: handle is invalid");
    return false;
  }
  // A new object: the old one may be shared with other connections.
  NkIpcAddressPtr address = local_ ? local_->Clone() : MakeAddress();
  if (!address->GetLocalSocketAddress(fd_.get())) {
    base::NkLogError("GetLocalSocketAddress: cannot get local name: " + NkErrorText(errno));
    return false;
  }
  local_ = address;
  return true;
}

void NkSocket::LogFailure(const std::string& text) const {
  if (IsServer()) {
    base::NkLogProtocolError(text);
  } else {
    base::NkLogError(text);
  }
}

bool NkSocket::GetRemoteSocketAddress() {
  if (!fd_) {
    base::NkLogDebug("GetRemoteSocketAddress: handle is invalid");
    return false;
  }
  NkIpcAddressPtr address = MakeAddress();
  if (!address->GetRemoteSocketAddress(fd_.get())) {
    const int error = errno;
    if (error == ENOTCONN) {
      LogFailure("GetRemoteSocketAddress: can`t get remote name because socket does not connected");
    } else {
      LogFailure("GetRemoteSocketAddress: cannot get remote name: " + NkErrorText(error));
    }
    return false;
  }
  remote_ = address;
  return true;
}

}  // namespace ipc
}  // namespace norvak
