#ifndef NORVAK_IPC_NK_IF_SESSION_H_
#define NORVAK_IPC_NK_IF_SESSION_H_

#include <pthread.h>

#include <string>
#include <vector>

#include "nk_timeout.h"

namespace norvak {
namespace ipc {

// What an application may do with any session.
class NkIfSession {
 public:
  virtual ~NkIfSession() = default;

  // Address specifications ("inet:port@host", "local:path", "unix:path") or
  // "pid:" + a pid file listing the server's addresses.
  virtual void Open(const std::vector<std::string>& addresses) = 0;
  virtual void Open(const std::string& address) = 0;
  virtual void Close() = 0;
  virtual void Suspend() = 0;
  virtual void Resume() = 0;

  // The longest any one execution may take; infinite by default.
  virtual void SetTimeout(const base::NkTimeout& timeout) = 0;
  virtual base::NkTimeout GetTimeout() const = 0;

  // Makes `thread` leave a wait for a connection with NkThreadCanceled (at
  // once when it waits now, otherwise the next time it would wait).
  virtual void CancelOperation(pthread_t thread) = 0;
  virtual bool AppendStatistic(const std::string& path) = 0;
  virtual std::string GetStateName() const = 0;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_IF_SESSION_H_
