#ifndef NORVAK_IPC_NK_PDU_H_
#define NORVAK_IPC_NK_PDU_H_

namespace norvak {
namespace ipc {

// Base of the protocol data units.
class NkPDU {
 public:
  virtual ~NkPDU() = default;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_PDU_H_
