#ifndef NORVAK_IPC_IF_CORRECT_CONNECTIONS_H_
#define NORVAK_IPC_IF_CORRECT_CONNECTIONS_H_

#include "nk_conn_settings.h"

namespace norvak {
namespace ipc {

// A pool that can be resized while it runs.
class IfCorrectConnections {
 public:
  virtual ~IfCorrectConnections() = default;
  virtual void CorrectConnectionsNum(const ConnSettings& settings) = 0;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_IF_CORRECT_CONNECTIONS_H_
