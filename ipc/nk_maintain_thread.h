#ifndef NORVAK_IPC_NK_MAINTAIN_THREAD_H_
#define NORVAK_IPC_NK_MAINTAIN_THREAD_H_

#include <thread>

#include "nk_if_maintained_pool.h"

namespace norvak {
namespace ipc {

// Runs a pool's maintenance loop on its own thread. The owner stops the loop
// (control command 0x101) before destroying this object, which joins.
class NkMaintainThread {
 public:
  // Raises NkParameterError for a null pool, NkException when the thread
  // cannot be started.
  explicit NkMaintainThread(NkIfMaintainedPool* pool);
  ~NkMaintainThread();
  NkMaintainThread(const NkMaintainThread&) = delete;
  NkMaintainThread& operator=(const NkMaintainThread&) = delete;

 private:
  void Run();

  NkIfMaintainedPool* pool_;
  std::thread thread_;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_MAINTAIN_THREAD_H_
