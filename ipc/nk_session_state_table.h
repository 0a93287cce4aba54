#ifndef NORVAK_IPC_NK_SESSION_STATE_TABLE_H_
#define NORVAK_IPC_NK_SESSION_STATE_TABLE_H_

#include "nk_session_state.h"

namespace norvak {
namespace ipc {

// The one object of each state, created on first use and shared by every
// session of the process. Raises NkException if the table cannot be made.
class NkSessionStateTable {
 public:
  static NkSessionState* Initial();
  static NkSessionState* Opened();
  static NkSessionState* Closed();
  static NkSessionState* Suspended();
  static NkSessionState* Terminal();
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_SESSION_STATE_TABLE_H_
