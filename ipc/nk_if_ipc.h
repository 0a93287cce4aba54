#ifndef NORVAK_IPC_NK_IF_IPC_H_
#define NORVAK_IPC_NK_IF_IPC_H_

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "nk_deadline.h"
#include "nk_ipc_address.h"
#include "nk_timeout.h"

namespace norvak {
namespace ipc {

class NkIfIPC;
using NkIfIPCPtr = std::shared_ptr<NkIfIPC>;

// A connection as the rest of the library sees it. Every blocking call takes
// the time left until the caller's deadline; failures are raised as the
// exceptions of nk_exception.h and nk_ipc_error.h.
class NkIfIPC {
 public:
  virtual ~NkIfIPC() = default;

  // --- byte moving ---
  // Makes the descriptor (and binds it in the server role).
  virtual bool Create() = 0;
  // Client side: connects to the remote address.
  virtual bool Connect(const base::NkTimeout& timeout) = 0;
  virtual bool Listen(int backlog) = 0;
  // Waits for a peer and hands it to `connection` (a socket of the same kind,
  // typically fresh from the factory). Turns this object into a listener on
  // its local address first if it is not one yet.
  virtual bool Accept(const base::NkTimeout& timeout, NkIfIPC* connection) = 0;
  // Returns true when one of `events` (POLLIN, POLLOUT) is there, else raises.
  // `shorten` limits the last slice to what remains of the time-out.
  virtual bool IsReady(int events, const base::NkTimeout& timeout, bool shorten) = 0;
  // Sends every byte of `data`.
  virtual bool Send(const std::string& data, const base::NkTimeout& timeout) = 0;
  // Fills `data` to its current size.
  virtual bool Receive(std::string& data, const base::NkTimeout& timeout) = 0;
  // count: in, the bytes to send; out, the bytes left unsent (0 on success).
  virtual bool Send(const void* data, size_t& count, const base::NkTimeout& timeout) = 0;
  // count: in, the bytes wanted; out, the bytes received.
  virtual bool Receive(void* data, size_t& count, const base::NkTimeout& timeout) = 0;
  // Sends `length` bytes of the file from `offset`; nothing for length 0.
  virtual bool SendFile(const std::string& path, uint64_t offset, uint64_t length,
                        const base::NkTimeout& timeout) = 0;
  // Sends `length` bytes from the file's current position; 0 means up to
  // the end of the file, a negative length nothing.
  virtual bool SendFromFileHandle(int fd, int64_t length, const base::NkTimeout& timeout) = 0;
  virtual bool Close() = 0;
  // -1 when there is none.
  virtual int GetHandle() const = 0;

  // --- state ---
  virtual bool IsListening() const = 0;
  virtual void SetListening(bool value) = 0;
  virtual bool IsServer() const = 0;
  virtual void SetServer(bool value) = 0;
  virtual bool IsConnected() const = 0;
  virtual void SetConnected(bool value) = 0;
  virtual bool IsNeverExpires() const = 0;
  virtual void SetNeverExpires(bool value) = 0;
  // Expiry = now + seconds; ignored for a never-expiring connection.
  virtual void SetExpiry(uint32_t seconds) = 0;
  // Undefined (never) until SetExpiry.
  virtual base::NkDeadline GetExpiry() const = 0;
  virtual NkIpcAddressPtr GetLocalAddress() const = 0;
  virtual NkIpcAddressPtr GetRemoteAddress() const = 0;
  virtual void SetLocalAddress(const NkIpcAddressPtr& address) = 0;
  virtual void SetRemoteAddress(const NkIpcAddressPtr& address) = 0;
  // The text form of the address, or empty when there is none.
  virtual std::string GetLocalAddressAsString() const = 0;
  virtual std::string GetRemoteAddressAsString() const = 0;
  // "connection (fd->3, local->..., server->...)": names the connection in
  // log lines and error texts.
  virtual std::string GetDescription() const = 0;
  virtual bool IsRemoteAddressEqual(const NkIpcAddress& address) const = 0;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_IF_IPC_H_
