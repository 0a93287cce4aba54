#ifndef NORVAK_IPC_NK_CLIENT_PROTOCOL_H_
#define NORVAK_IPC_NK_CLIENT_PROTOCOL_H_

#include "nk_ddp_unit.h"
#include "nk_protocol.h"

namespace norvak {
namespace ipc {

// The asking side: writes a request into one unit, reads the reply through
// another. A false result from either ends the exchange and drops the
// connection.
class NkClientProtocol : public NkProtocol {
 public:
  virtual bool MakeRequest(NkDdpUnit& request) = 0;
  virtual bool ProcessReply(NkDdpUnit& reply) = 0;
  // Reserved for protocols that need it; nothing in the library calls it.
  virtual bool Hook() { return false; }
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_CLIENT_PROTOCOL_H_
