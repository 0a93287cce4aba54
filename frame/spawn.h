#ifndef NORVAK_FRAME_SPAWN_H_
#define NORVAK_FRAME_SPAWN_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "frame/child_process.h"

// One step of the child's way from fork to exec: what a failing step says
// and with which status the child then exits.
struct SpawnStep {
  std::string message;  // empty: the step fails without a record
  int status;
};

// Everything a child is to become. The child runs these steps in order:
//   streams      the standard streams (and the passed descriptor) are set up
//   descriptors  every other inherited descriptor is closed
//   signals      dispositions reset, mask cleared or signals unblocked
//   group, user  identity switched
//   session      a new session when asked for
//   exec         the program replaces the child
// When a step fails and reportFd is given, the child writes one record on it:
// 'E', NUL, the message, '\n' and errno in decimal, in a single write (short
// enough to arrive whole through a pipe); then it exits with the step's status.
struct SpawnPlan {
  // Given for a standard stream: /dev/null, or the stream this process has.
  static constexpr int kNull = -1;
  static constexpr int kInherit = -2;

  std::string path;               // executed as is, no PATH search
  std::vector<std::string> argv;  // argv[0] included
  // NAME=value entries set on top of the environment the program would get
  // otherwise (an entry of the same name there is replaced).
  std::vector<std::string> addEnv;

  // Descriptors of this process that become the child's 0, 1 and 2.
  int stdinFd = kNull;
  int stdoutFd = kNull;
  int stderrFd = kNull;
  // A descriptor of this process that the program gets as kPassedFd, not
  // close-on-exec; -1 for none. It lets a file be run by its descriptor
  // ("/dev/fd/3") rather than by a name that may be swapped meanwhile: a "#!"
  // script's interpreter opens that name only after the exec, so the
  // descriptor must survive it (and is inherited by what the program starts).
  static constexpr int kPassedFd = 3;
  int passFd = -1;
  // Where records go; -1 for none. It may also be one of the stream
  // descriptors. The child's copy is close-on-exec, so the reader learns of
  // the exec by end-of-file unless the descriptor also serves as a stream.
  int reportFd = -1;

  // 0 keeps the identity. When root switches, only the target group stays:
  // root's supplementary groups never reach the program.
  uid_t uid = 0;
  gid_t gid = 0;
  bool newSession = false;  // setsid()
  // Linux and FreeBSD (elsewhere ignored): the signal the program gets when
  // this process ends, so that a wrapper killed outright takes its program
  // along. Strictly it follows the spawning thread, not the process: only a
  // single-threaded caller should ask for it. 0: none.
  int parentDeathSignal = 0;

  // The monitor's threads block the signals it takes synchronously; the
  // program must not start with them blocked.
  bool clearSignalMask = false;      // unblocks everything
  std::vector<int> unblockSignals;   // or only these
  std::vector<int> defaultSignals;   // SIG_DFL, e.g. a SIGPIPE ignored here

  SpawnStep streams{"dup2() error", 1};
  SpawnStep descriptors{"", 1};
  SpawnStep signalSet{"sigaddset() error", 2};  // the signals above are not valid
  SpawnStep signalMask{"sigprocmask() error", 2};
  SpawnStep group{"setgid() error", 3};
  SpawnStep user{"setuid() error", 4};
  SpawnStep exec{"exec() error", 5};
  SpawnStep unknown{"unknown error", 6};  // exec returned without failing
  SpawnStep session{"setsid() error", 7};
};

// Forks and executes the plan. Everything the child needs is prepared here
// before the fork; the child itself only makes async-signal-safe calls (no
// allocation, no logging, no locks), so it is safe from any thread. Throws
// std::runtime_error("fork() error") when there is no child.
ChildProcess spawn(const SpawnPlan& plan);

#endif  // NORVAK_FRAME_SPAWN_H_
