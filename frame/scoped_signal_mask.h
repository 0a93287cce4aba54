#ifndef NORVAK_FRAME_SCOPED_SIGNAL_MASK_H_
#define NORVAK_FRAME_SCOPED_SIGNAL_MASK_H_

#include <signal.h>

#include <initializer_list>

// The calling thread's signal mask, changed for a scope and restored at its
// end. The supervision loop takes SIGHUP, SIGTERM and SIGINT as events of its
// own and lets them through only while it runs; every other thread keeps them
// blocked. A thread inherits the mask in force where it is created, so a
// thread created from the loop is created inside a kBlockAll scope.
class ScopedSignalMask {
 public:
  enum BlockAll { kBlockAll };
  // Every asynchronous signal blocked.
  explicit ScopedSignalMask(BlockAll);
  // These signals let through.
  explicit ScopedSignalMask(std::initializer_list<int> unblocked);
  ~ScopedSignalMask();
  ScopedSignalMask(const ScopedSignalMask&) = delete;
  ScopedSignalMask& operator=(const ScopedSignalMask&) = delete;

 private:
  sigset_t old_;
};

#endif  // NORVAK_FRAME_SCOPED_SIGNAL_MASK_H_
