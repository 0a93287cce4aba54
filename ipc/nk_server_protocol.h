#ifndef NORVAK_IPC_NK_SERVER_PROTOCOL_H_
#define NORVAK_IPC_NK_SERVER_PROTOCOL_H_

#include "nk_ddp_unit.h"
#include "nk_protocol.h"

namespace norvak {
namespace ipc {

// The answering side. One object serves every connection of a server
// session, possibly from several threads at once, so it must not keep
// per-exchange state of its own unless it guards it.
class NkServerProtocol : public NkProtocol {
 public:
  // Reads the request through `request` and writes the answer into `reply`;
  // the session pushes the reply afterwards.
  virtual bool Process(NkDdpUnit& request, NkDdpUnit& reply) = 0;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_SERVER_PROTOCOL_H_
