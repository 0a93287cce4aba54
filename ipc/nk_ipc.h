#ifndef NORVAK_IPC_NK_IPC_H_
#define NORVAK_IPC_NK_IPC_H_

#include <cstdint>
#include <string>

#include "nk_deadline.h"
#include "nk_if_ipc.h"
#include "nk_ipc_address.h"

namespace norvak {
namespace ipc {

// The state every connection has, whatever moves its bytes.
class NkIPC : public NkIfIPC {
 public:
  NkIPC() = default;
  NkIPC(const NkIPC&) = delete;
  NkIPC& operator=(const NkIPC&) = delete;

  bool IsListening() const override { return listening_; }
  void SetListening(bool value) override { listening_ = value; }
  bool IsServer() const override { return server_; }
  void SetServer(bool value) override { server_ = value; }
  bool IsConnected() const override { return connected_; }
  void SetConnected(bool value) override { connected_ = value; }
  bool IsNeverExpires() const override { return never_expires_; }
  void SetNeverExpires(bool value) override { never_expires_ = value; }
  void SetExpiry(uint32_t seconds) override;
  base::NkDeadline GetExpiry() const override { return expiry_; }
  NkIpcAddressPtr GetLocalAddress() const override { return local_; }
  NkIpcAddressPtr GetRemoteAddress() const override { return remote_; }
  void SetLocalAddress(const NkIpcAddressPtr& address) override { local_ = address; }
  void SetRemoteAddress(const NkIpcAddressPtr& address) override { remote_ = address; }
  std::string GetLocalAddressAsString() const override;
  std::string GetRemoteAddressAsString() const override;
  std::string GetDescription() const override;
  bool IsRemoteAddressEqual(const NkIpcAddress& address) const override;

 protected:
  // GetDescription as if the descriptor were `fd`: a failed close is reported
  // with the number it had, although the owner has already let it go.
  std::string DescribeWith(int fd) const;

  bool listening_ = false;
  bool server_ = false;
  bool connected_ = false;
  bool never_expires_ = false;
  NkIpcAddressPtr local_;
  NkIpcAddressPtr remote_;
  base::NkDeadline expiry_;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_IPC_H_
