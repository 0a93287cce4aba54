#include "nk_ipc.h"

namespace norvak {
namespace ipc {

namespace {

bool HasAddress(const NkIpcAddressPtr& address) {
  return address && address->GetFamily() != NkIpcAddress::kUnparsed;
}

}  // namespace

void NkIPC::SetExpiry(uint32_t seconds) {
  if (never_expires_) return;
  expiry_ = base::NkDeadline(base::NkTimeout::Seconds(seconds));
}

std::string NkIPC::GetLocalAddressAsString() const {
  return local_ ? local_->ToString() : std::string();
}

std::string NkIPC::GetRemoteAddressAsString() const {
  return remote_ ? remote_->ToString() : std::string();
}

std::string NkIPC::GetDescription() const { return DescribeWith(GetHandle()); }

std::string NkIPC::DescribeWith(int fd) const {
  std::string text = listening_ ? "a listening " : "";
  text += "connection (fd->" + (fd == -1 ? std::string("invalid") : std::to_string(fd));
  if (HasAddress(local_)) text += ", local->" + local_->ToString();
  if (HasAddress(remote_)) {
    text += (server_ ? ", client->" : ", server->") + remote_->ToString();
  }
  text += ")";
  return text;
}

bool NkIPC::IsRemoteAddressEqual(const NkIpcAddress& address) const {
  return remote_ && remote_->IsEqual(address);
}

}  // namespace ipc
}  // namespace norvak
