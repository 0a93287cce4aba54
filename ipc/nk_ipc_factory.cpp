#include "nk_ipc_factory.h"

#include <memory>

#include "nk_exception.h"
#include "nk_inet_socket.h"
#include "nk_inet_socket_address.h"
#include "nk_log.h"
#include "nk_unix_socket.h"
#include "nk_unix_socket_address.h"

namespace norvak {
namespace ipc {

NkIpcAddressPtr CreateAddress(const std::string& spec) {
  if (spec.empty() || spec == "*") return NkIpcAddressPtr();
  base::NkLogDebug("CreateAddress: creating ipc address by spec=" + spec + " ...");
  auto unix_address = std::make_shared<NkUnixSocketAddress>(spec);
  if (unix_address->Parse()) return unix_address;
  base::NkLogDebug("CreateAddress:   this is not an unix address");
  auto inet_address = std::make_shared<NkInetSocketAddress>(spec);
  if (inet_address->Parse()) return inet_address;
  base::NkLogDebug("CreateAddress: this is not an inet address");
  return NkIpcAddressPtr();
}

NkIfIPCPtr CreateIPC(const std::string& local_spec, const std::string& remote_spec) {
  base::NkLogDebug("IPC factory: creating ipc by spec { local=" + local_spec +
                   ", remote=" + remote_spec + " }");
  return CreateIPC(CreateAddress(local_spec), CreateAddress(remote_spec));
}

NkIfIPCPtr CreateIPC(const NkIpcAddressPtr& local, const NkIpcAddressPtr& remote) {
  base::NkLogDebug("IPC factory: creating ipc by addr { local=" +
                   (local ? local->ToString() : std::string()) +
                   ", remote=" + (remote ? remote->ToString() : std::string()) + " }");
  if (!local && !remote) {
    throw base::NkParameterError("local and remote addresses", "not defined");
  }
  if (local && remote && local->GetFamily() != remote->GetFamily()) {
    throw base::NkException("local and remote address have different protocols families");
  }
  const int family = local ? local->GetFamily() : remote->GetFamily();
  std::shared_ptr<NkSocket> socket;
  NkIpcAddressPtr fresh_local;
  NkIpcAddressPtr fresh_remote;
  if (family == NkIpcAddress::kInet) {
    socket = std::make_shared<NkInetSocket>();
    if (!local) fresh_local = std::make_shared<NkInetSocketAddress>();
    if (!remote) fresh_remote = std::make_shared<NkInetSocketAddress>();
  } else if (family == NkIpcAddress::kUnix) {
    auto unix_socket = std::make_shared<NkUnixSocket>();
    unix_socket->SetMode(NkUnixSocket::kDefaultMode);
    socket = unix_socket;
    if (!local) fresh_local = std::make_shared<NkUnixSocketAddress>();
    if (!remote) fresh_remote = std::make_shared<NkUnixSocketAddress>();
  } else {
    throw base::NkException("Unknown address domain");
  }
  socket->SetLocalAddress(local ? local : fresh_local);
  socket->SetRemoteAddress(remote ? remote : fresh_remote);
  return socket;
}

}  // namespace ipc
}  // namespace norvak
