#ifndef NORVAK_FRAME_CHILD_PROCESS_H_
#define NORVAK_FRAME_CHILD_PROCESS_H_

#include <sys/types.h>

#include "ipc/nk_unique_fd.h"

// How a child process ended.
struct ExitStatus {
  bool exited = false;  // ended by itself (exit or return from main)
  int code = -1;        // exit status when exited, else -1
  int signal = -1;      // terminating signal, else -1
};

// Sole owner of a child process. It reaps the child exactly once; dropped
// while the child still runs, it kills the child with SIGKILL and reaps it,
// so that no owner path leaves a zombie or an orphan behind. Where the kernel
// has pidfds it keeps one, which a caller may poll to learn of the end
// without SIGCHLD and without racing pid reuse.
class ChildProcess {
 public:
  ChildProcess() = default;
  // Takes ownership of a child of this process.
  explicit ChildProcess(pid_t pid);
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // The pid while owned and not reaped; -1 otherwise.
  pid_t pid() const { return pid_; }
  bool valid() const { return pid_ > 0; }
  explicit operator bool() const { return valid(); }
  // Readable when the child has ended; -1 where the kernel has no pidfd.
  int pidfd() const { return pidfd_.get(); }

  // Reaps the child if it has ended, without waiting. True when it has (the
  // owner is then empty and *status tells how it ended).
  bool tryReap(ExitStatus* status = nullptr);
  // The child has ended, seen without reaping it.
  bool ended() const;
  // Waits for the end; the owner is empty afterwards.
  ExitStatus wait();
  // Waits up to `seconds` for the end, then kills with SIGKILL and reaps.
  // Returns true only when it had to kill.
  bool waitOrKill(int seconds, ExitStatus* status = nullptr);
  // Waits up to `seconds` for the end without reaping; true once ended.
  bool awaitEnd(int seconds) const;
  // Sends a signal while the child is owned and not reaped; false otherwise.
  bool kill(int sig) const;
  // The same to the child's process group, which the child must lead (it
  // was spawned in a session of its own). Until the child is reaped its
  // number cannot be taken by another group, so the signal reaches nobody
  // else's processes.
  bool signalGroup(int sig) const;
  // Gives up ownership without reaping: the caller takes the pid over.
  pid_t release();

 private:
  void reset();

  pid_t pid_ = -1;
  norvak::base::UniqueFd pidfd_;
};

#endif  // NORVAK_FRAME_CHILD_PROCESS_H_
