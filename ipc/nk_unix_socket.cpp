#include "nk_unix_socket.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "nk_exception.h"
#include "nk_log.h"
#include "nk_unix_socket_address.h"

namespace norvak {
namespace ipc {

namespace {

constexpr uint32_t kStallProbeMs = 250;

}  // namespace

NkUnixSocket::~NkUnixSocket() { Close(); }

bool NkUnixSocket::Create() {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw base::NkSystemError("UnixSocket::Create", errno);
  SetHandle(fd);
  try {
    ApplyOptions();
    if (server_ && local_ && local_->GetFamily() == NkIpcAddress::kUnix) Bind();
  } catch (...) {
    Close();
    throw;
  }
  return true;
}

bool NkUnixSocket::Bind() {
  const NkUnixSocketAddress* address = dynamic_cast<const NkUnixSocketAddress*>(local_.get());
  if (address == nullptr) throw base::NkSystemError("UnixSocket::Create", EAFNOSUPPORT);
  const char* path = address->GetPath();
  if (bind(fd_.get(), address->GetSockAddr(), address->GetSockAddrLen()) != 0) {
    const int error = errno;
    // Only an existing file can be stale; any other failure (no directory,
    // no permission) is reported as it is.
    if (error != EADDRINUSE) throw base::NkSystemError("UnixSocket::Create", error);
    if (!IsStalled()) {
      base::NkLogError("unix-socket create " + GetDescription() + " - somebody uses this socket");
      throw base::NkSystemError("UnixSocket::Create", error);
    }
    // Never remove something that is not a socket: a regular file at the
    // path also refuses connections, but it is somebody's data.
    struct stat status;
    if (lstat(path, &status) == 0) {
      if (!S_ISSOCK(status.st_mode)) throw base::NkSystemError("UnixSocket::Create", error);
      if (unlink(path) != 0 && errno != ENOENT) {
        throw base::NkSystemError("UnixSocket::Create", errno);
      }
    }
    if (bind(fd_.get(), address->GetSockAddr(), address->GetSockAddrLen()) != 0) {
      throw base::NkSystemError("UnixSocket::Create", errno);
    }
    base::NkLogAlert("UnixSocket::Create a listening " + GetDescription() +
                     " stalled socket has been removed and binded");
  }
  bound_ = true;
  struct stat status;
  if (lstat(path, &status) == 0) {
    file_device_ = status.st_dev;
    file_inode_ = status.st_ino;
  }
  if (chmod(path, mode_) != 0) throw base::NkSystemError("UnixSocket::ChMod", errno);
  return true;
}

bool NkUnixSocket::IsStalled() {
  NkUnixSocket probe;
  probe.SetLocalAddress(MakeAddress());
  probe.SetRemoteAddress(local_);
  probe.CopyOptions(*this);
  bool stalled = false;
  try {
    probe.Connect(base::NkTimeout::Milliseconds(kStallProbeMs));
    base::NkLogDebug("UnixSocket::IsStalled " + GetDescription() +
                     " successfully connected so somebody uses this socket");
  } catch (const base::NkTimedOut& e) {
    base::NkLogAlert("UnixSocket::IsStalled " + GetDescription() + " cannot connect to this socket (" +
                     e.what() + ") - probably the socket is used");
  } catch (const base::NkSystemError& e) {
    // A full backlog means a live listener that is merely busy.
    if (e.GetError() == EAGAIN) {
      base::NkLogAlert("UnixSocket::IsStalled " + GetDescription() +
                       " cannot connect to this socket (" + e.what() +
                       ") - probably the socket is used");
    } else {
      base::NkLogInfo("UnixSocket::IsStalled " + GetDescription() +
                      " stalled socket has been detected (" + e.what() + ")");
      stalled = true;
    }
  } catch (const base::NkException& e) {
    base::NkLogInfo("UnixSocket::IsStalled " + GetDescription() +
                    " stalled socket has been detected (" + e.what() + ")");
    stalled = true;
  }
  probe.Close();
  return stalled;
}

bool NkUnixSocket::Close() {
  const bool owns_file = bound_;
  const bool ok = NkSocket::Close();
  if (owns_file) {
    const NkUnixSocketAddress* address = dynamic_cast<const NkUnixSocketAddress*>(local_.get());
    if (address != nullptr && address->GetPath()[0] != '\0') {
      // Leave the file alone if another listener has replaced it since.
      struct stat status;
      if (lstat(address->GetPath(), &status) == 0 &&
          (status.st_dev != file_device_ || status.st_ino != file_inode_)) {
        return ok;
      }
      if (unlink(address->GetPath()) != 0) {
        base::NkLogError(std::string("unxi-socket unlink(") + address->GetPath() +
                         "): " + base::NkErrorText(errno));
      }
    }
  }
  return ok;
}

NkIpcAddressPtr NkUnixSocket::MakeAddress() const {
  return std::make_shared<NkUnixSocketAddress>();
}

}  // namespace ipc
}  // namespace norvak
