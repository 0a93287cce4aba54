#ifndef NORVAK_IPC_NK_PROTOCOL_H_
#define NORVAK_IPC_NK_PROTOCOL_H_

#include <cstdint>
#include <memory>

#include "nk_ddp_unit.h"

namespace norvak {
namespace ipc {

// The application's code for one kind of exchange. A session creates the
// units through CreateUnit, attaches its connection and the exchange's
// deadline, and drives the request/reply loop until IsFinished.
class NkProtocol {
 public:
  virtual ~NkProtocol() = default;

  // A fresh, empty unit (infinite deadline, no connection).
  virtual std::unique_ptr<NkDdpUnit> CreateUnit() = 0;
  virtual bool IsFinished() = 0;
  // Announced on the wire before the first unit; 0 announces nothing.
  virtual uint32_t GetId() const = 0;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_PROTOCOL_H_
