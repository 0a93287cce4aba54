#include "frame/scoped_signal_mask.h"

#include <pthread.h>

ScopedSignalMask::ScopedSignalMask(BlockAll) {
  sigset_t block;
  sigfillset(&block);
  // Faults stay deliverable: blocked, they would end the process unexplained.
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&block, sig);
  pthread_sigmask(SIG_BLOCK, &block, &old_);
}

ScopedSignalMask::ScopedSignalMask(std::initializer_list<int> unblocked) {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : unblocked) sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, &old_);
}

ScopedSignalMask::~ScopedSignalMask() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
