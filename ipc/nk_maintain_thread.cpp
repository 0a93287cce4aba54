#include "nk_maintain_thread.h"

#include <system_error>

#include "nk_exception.h"
#include "nk_log.h"

namespace norvak {
namespace ipc {

NkMaintainThread::NkMaintainThread(NkIfMaintainedPool* pool) : pool_(pool) {
  if (pool_ == nullptr) {
    base::NkLogError("MaintainThread::ctor - maintained pool doesn't specified");
    throw base::NkParameterError("MaintainThread::ctor", "PoolManager", "null");
  }
  try {
    thread_ = std::thread(&NkMaintainThread::Run, this);
  } catch (const std::system_error& e) {
    base::NkLogError(std::string("MaintainThread::ctor - cannot create thread: ") + e.what());
    throw base::NkException("MaintainThread::ctor - cannot create thread");
  }
}

NkMaintainThread::~NkMaintainThread() {
  if (thread_.joinable()) thread_.join();
}

void NkMaintainThread::Run() {
  try {
    pool_->Maintain();
  } catch (const base::NkThreadCanceled&) {
    base::NkLogDebug("NkMaintainThread: catch stop thread");
  } catch (const std::exception& e) {
    base::NkLogError(std::string("MaintainThread::run exception(") + e.what() + ")");
  } catch (...) {
    base::NkLogError("MaintainThread::run exception(unknown)");
  }
}

}  // namespace ipc
}  // namespace norvak
