#ifndef NORVAK_IPC_NK_IF_MAINTAINED_POOL_H_
#define NORVAK_IPC_NK_IF_MAINTAINED_POOL_H_

namespace norvak {
namespace ipc {

// A pool whose idle connections a maintenance thread watches.
class NkIfMaintainedPool {
 public:
  virtual ~NkIfMaintainedPool() = default;
  // The maintenance loop; returns or raises NkThreadCanceled when the pool
  // is closed.
  virtual void Maintain() = 0;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_IF_MAINTAINED_POOL_H_
