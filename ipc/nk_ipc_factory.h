#ifndef NORVAK_IPC_NK_IPC_FACTORY_H_
#define NORVAK_IPC_NK_IPC_FACTORY_H_

#include <string>

#include "nk_if_ipc.h"
#include "nk_ipc_address.h"

namespace norvak {
namespace ipc {

// A parsed address, or an empty pointer for "", "*" and anything that is
// neither a Unix nor a TCP address. Raises std::invalid_argument for a
// host holding white space.
NkIpcAddressPtr CreateAddress(const std::string& spec);

// A connection object (without a descriptor) for a local and a remote
// address; either may be missing ("" / "*" / empty pointer), not both.
// Raises NkParameterError or NkException on misuse.
NkIfIPCPtr CreateIPC(const std::string& local_spec, const std::string& remote_spec);
NkIfIPCPtr CreateIPC(const NkIpcAddressPtr& local, const NkIpcAddressPtr& remote);

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_IPC_FACTORY_H_
