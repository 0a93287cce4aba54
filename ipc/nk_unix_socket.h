#ifndef NORVAK_IPC_NK_UNIX_SOCKET_H_
#define NORVAK_IPC_NK_UNIX_SOCKET_H_

#include <sys/types.h>

#include <cstdint>

#include "nk_socket.h"

namespace norvak {
namespace ipc {

// A Unix-domain stream socket. A listener owns its socket file: it replaces a
// stale one left by a dead process, refuses one that a live process listens
// on, and removes its own when closed.
class NkUnixSocket : public NkSocket {
 public:
  static constexpr uint16_t kDefaultMode = 0770;

  NkUnixSocket() = default;
  ~NkUnixSocket() override;

  bool Create() override;
  bool Close() override;

  // True when nobody accepts connections on this socket's local path any
  // more (the file was left behind by a dead listener).
  virtual bool IsStalled();
  void SetMode(uint16_t mode) { mode_ = mode; }
  uint16_t GetMode() const { return mode_; }

 protected:
  NkIpcAddressPtr MakeAddress() const override;

 private:
  bool Bind();

  uint16_t mode_ = kDefaultMode;
  // Identity of the socket file this object bound, so that closing never
  // removes a file that another listener put there later.
  dev_t file_device_ = 0;
  ino_t file_inode_ = 0;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_UNIX_SOCKET_H_
