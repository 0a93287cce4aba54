#ifndef NORVAK_IPC_NK_SOCKET_H_
#define NORVAK_IPC_NK_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "nk_ipc.h"
#include "nk_timeout.h"
#include "nk_unique_fd.h"

namespace norvak {
namespace ipc {

// A stream socket. Every wait is a poll(2) cut into one-second slices (so a
// cancelled thread gets the interruption hook within a second), EINTR is
// restarted silently and sends never raise SIGPIPE.
class NkSocket : public NkIPC {
 public:
  static constexpr int kDefaultBacklog = 128;

  NkSocket() = default;
  ~NkSocket() override;

  bool Connect(const base::NkTimeout& timeout) override;
  bool Listen(int backlog) override;
  bool Accept(const base::NkTimeout& timeout, NkIfIPC* connection) override;
  bool IsReady(int events, const base::NkTimeout& timeout, bool shorten) override;
  bool Send(const std::string& data, const base::NkTimeout& timeout) override;
  bool Receive(std::string& data, const base::NkTimeout& timeout) override;
  bool Send(const void* data, size_t& count, const base::NkTimeout& timeout) override;
  bool Receive(void* data, size_t& count, const base::NkTimeout& timeout) override;
  bool SendFile(const std::string& path, uint64_t offset, uint64_t length,
                const base::NkTimeout& timeout) override;
  bool SendFromFileHandle(int fd, int64_t length, const base::NkTimeout& timeout) override;
  bool Close() override;
  int GetHandle() const override { return fd_.get(); }

  // Shares the other socket's address objects.
  virtual void TakeAddresses(const NkSocket& other);
  // Becomes a second handle on the other socket's connection (own
  // descriptor, same addresses and flags; never the owner of a socket file).
  virtual bool Dup(const NkSocket& other);
  // Adopts (owns from now on) a descriptor, closing the previous one.
  virtual void SetHandle(int fd);
  virtual void CopyOptions(const NkSocket& other);
  // SO_REUSEADDR and, for non-blocking sockets, O_NONBLOCK.
  virtual bool ApplyOptions();
  virtual bool SetOption(int option, int value);
  virtual bool SetFlag(int flag);
  virtual bool ClearFlag(int flag);
  // Refresh the address objects from the descriptor.
  virtual bool GetLocalSocketAddress();
  virtual bool GetRemoteSocketAddress();

  bool IsNonBlocking() const { return non_blocking_; }
  void SetNonBlocking(bool value) { non_blocking_ = value; }
  bool IsBound() const { return bound_; }

 protected:
  // Closes the descriptor only (no socket-file handling); false on failure.
  bool CloseHandle();
  // A failed transfer on the server side is a peer's doing, and peers must
  // not be able to flood the log with it.
  void LogFailure(const std::string& text) const;
  // A fresh, unparsed address of this socket's kind.
  virtual NkIpcAddressPtr MakeAddress() const = 0;

  base::UniqueFd fd_;
  bool non_blocking_ = true;
  bool bound_ = false;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_SOCKET_H_
