#ifndef NORVAK_IPC_NK_IPC_ADDRESS_H_
#define NORVAK_IPC_NK_IPC_ADDRESS_H_

#include <sys/socket.h>

#include <memory>
#include <string>

namespace norvak {
namespace ipc {

class NkIpcAddress;
using NkIpcAddressPtr = std::shared_ptr<NkIpcAddress>;

// One endpoint of the suite's IPC, made from an address text
// ("inet:port@host", "unix:path", "local:path").
//
// Two texts are kept apart: GetSpec() is the address text as it was given
// (what Parse reads, and what can be handed to CreateAddress again), while
// ToString() is the text form rebuilt from the parsed endpoint, for logs and
// messages ("local:/path", "inet:127.0.0.1:3000"; the TCP form is not
// parsable).
class NkIpcAddress {
 public:
  enum Family { kUnparsed = 0, kUnix = AF_UNIX, kInet = AF_INET };

  explicit NkIpcAddress(const std::string& spec) : spec_(spec) {}
  virtual ~NkIpcAddress() = default;
  NkIpcAddress(const NkIpcAddress&) = delete;
  NkIpcAddress& operator=(const NkIpcAddress&) = delete;

  // Parses GetSpec(); on success the family is set and the text rebuilt.
  virtual bool Parse() = 0;
  // Rebuilds ToString() from the parsed endpoint.
  virtual void UpdateText() = 0;
  // False when the other address is of another kind.
  virtual bool CopyFrom(const NkIpcAddress& other) = 0;
  const std::string& GetSpec() const { return spec_; }
  int GetFamily() const { return family_; }
  // Same family and same endpoint.
  virtual bool IsEqual(const NkIpcAddress& other) const = 0;
  virtual bool Assign(const NkIpcAddress& other) { return CopyFrom(other); }
  virtual socklen_t GetSockAddrLen() const = 0;
  virtual const sockaddr* GetSockAddr() const = 0;
  bool IsSame(const NkIpcAddress* other) const { return this == other; }
  // Fill the endpoint from getsockname/getpeername of a descriptor. False
  // with errno set on failure.
  virtual bool GetLocalSocketAddress(int fd);
  virtual bool GetRemoteSocketAddress(int fd);
  // Stores a system socket address of this kind's family; false (nothing
  // changed) for another family or a bad length.
  virtual bool SetSockAddr(const sockaddr* addr, socklen_t length) = 0;
  // A new, independent address of the same kind and content.
  virtual NkIpcAddressPtr Clone() const = 0;

  const std::string& ToString() const { return text_; }

 protected:
  std::string spec_;
  std::string text_;
  int family_ = kUnparsed;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_IPC_ADDRESS_H_
