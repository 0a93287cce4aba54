#include "nk_maintain_thread.h"

#include <pthread.h>
#include <signal.h>

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
  // The thread inherits the creator's signal mask: it is to take no
  // signal, whichever thread makes the pool.
  sigset_t all, old;
  sigfillset(&all);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&all, sig);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  try {
    thread_ = std::thread(&NkMaintainThread::Run, this);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  } catch (const std::system_error& e) {
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
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
