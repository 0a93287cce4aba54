#ifndef NORVAK_IPC_NK_IF_POOL_MANAGER_H_
#define NORVAK_IPC_NK_IF_POOL_MANAGER_H_

#include <string>

namespace norvak {
namespace ipc {

class NkIfPoolManager {
 public:
  virtual ~NkIfPoolManager() = default;
  // Appends the counters block to `path`; false when the file cannot be
  // written.
  virtual bool AppendStatistic(const std::string& path) = 0;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_IF_POOL_MANAGER_H_
