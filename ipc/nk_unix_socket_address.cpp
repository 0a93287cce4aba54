#include "nk_unix_socket_address.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>

#include "nk_log.h"

namespace norvak {
namespace ipc {

namespace {
const char kLocalPrefix[] = "local:";
const char kUnixPrefix[] = "unix:";
}  // namespace

NkUnixSocketAddress::NkUnixSocketAddress(const std::string& spec) : NkSocketAddress(spec) {
  memset(&addr_, 0, sizeof(addr_));
  addr_.sun_family = AF_UNIX;
}

bool NkUnixSocketAddress::Parse() {
  std::string path;
  if (spec_.compare(0, 6, kLocalPrefix) == 0) {
    path = spec_.substr(6);
  } else if (spec_.compare(0, 5, kUnixPrefix) == 0) {
    path = spec_.substr(5);
  } else {
    base::NkLogDebug("UnixSocketAddress::Parse(" + spec_ +
                     ") failed - specifiers 'unix:' or 'local:' were not found");
    return false;
  }
  // A path that does not fit sun_path would be cut (and then name another
  // file) or overrun the structure.
  if (!SetPath(path)) {
    base::NkLogError("UnixSocketAddress::Parse(" + spec_ + ") failed - path is too long");
    family_ = kUnparsed;
    return false;
  }
  family_ = kUnix;
  UpdateText();
  return true;
}

bool NkUnixSocketAddress::SetPath(const std::string& path) {
  if (path.size() >= sizeof(addr_.sun_path) || path.find('\0') != std::string::npos) {
    return false;
  }
  path_ = path;
  memset(&addr_, 0, sizeof(addr_));
  addr_.sun_family = AF_UNIX;
  memcpy(addr_.sun_path, path_.data(), path_.size());
  return true;
}

void NkUnixSocketAddress::UpdateText() { text_ = kLocalPrefix + path_; }

bool NkUnixSocketAddress::CopyFrom(const NkIpcAddress& other) {
  const NkUnixSocketAddress* unix_other = dynamic_cast<const NkUnixSocketAddress*>(&other);
  if (unix_other == nullptr) return false;
  if (unix_other == this) return true;
  spec_ = unix_other->spec_;
  text_ = unix_other->text_;
  family_ = unix_other->family_;
  path_ = unix_other->path_;
  addr_ = unix_other->addr_;
  return true;
}

bool NkUnixSocketAddress::IsEqual(const NkIpcAddress& other) const {
  const NkUnixSocketAddress* unix_other = dynamic_cast<const NkUnixSocketAddress*>(&other);
  return unix_other != nullptr && family_ == unix_other->family_ && path_ == unix_other->path_;
}

socklen_t NkUnixSocketAddress::GetSockAddrLen() const {
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_.size() + 1);
}

const sockaddr* NkUnixSocketAddress::GetSockAddr() const {
  return reinterpret_cast<const sockaddr*>(&addr_);
}

bool NkUnixSocketAddress::SetSockAddr(const sockaddr* addr, socklen_t length) {
  if (addr == nullptr || addr->sa_family != AF_UNIX || length > sizeof(sockaddr_un)) {
    errno = EAFNOSUPPORT;
    return false;
  }
  const sockaddr_un* un = reinterpret_cast<const sockaddr_un*>(addr);
  // An unnamed peer has nothing after the family; an abstract name starts
  // with a zero byte. Both have no path.
  std::string path;
  if (length > offsetof(sockaddr_un, sun_path)) {
    const size_t room = length - offsetof(sockaddr_un, sun_path);
    path.assign(un->sun_path, strnlen(un->sun_path, room));
  }
  SetPath(path);
  family_ = kUnix;
  UpdateText();
  return true;
}

NkIpcAddressPtr NkUnixSocketAddress::Clone() const {
  auto copy = std::make_shared<NkUnixSocketAddress>(spec_);
  copy->CopyFrom(*this);
  return copy;
}

}  // namespace ipc
}  // namespace norvak
