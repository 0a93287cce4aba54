#include "frame/spawn.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#elif defined(__FreeBSD__)
#include <sys/procctl.h>
#endif

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <stdexcept>

extern char** environ;

namespace {

// A record must reach the reader in one piece: one write(2) to a pipe of at
// most PIPE_BUF bytes is atomic.
const size_t kMaxMessage = 1024;

// A step as the child sees it: the record is formatted in advance.
struct Failure {
  std::string record;  // "E\0message\n" or empty
  int status = 1;
};

// glibc declares the resource argument as its own enumeration.
#if defined(__GLIBC__)
typedef __rlimit_resource_t Resource;
#else
typedef int Resource;
#endif

struct PreparedLimit {
  Resource resource;
  struct rlimit value;
  Failure failed;
};

struct Prepared {
  const char* path = nullptr;
  std::vector<std::string> args;
  std::vector<char*> argv;
  std::vector<std::string> env;
  std::vector<char*> envp;
  bool ownEnv = false;
  std::vector<PreparedLimit> limits;
  int cgroup = -1;
  int streams[3] = {SpawnPlan::kNull, SpawnPlan::kNull, SpawnPlan::kNull};
  bool needNull = false;
  int report = -1;
  int pass = -1;
  uid_t uid = 0;
  gid_t gid = 0;
  bool newSession = false;
  int deathSignal = 0;
  pid_t parent = -1;
  bool clearMask = false;
  bool signalsValid = true;
  sigset_t unblock;
  sigset_t callerMask;  // the spawning thread's, restored in the child
  std::vector<int> defaults;
  struct sigaction defaultAction;
  Failure streamsFailed, descriptorsFailed, signalSetFailed, signalMaskFailed, groupFailed,
      userFailed, execFailed, unknownFailed, sessionFailed, cgroupFailed;
};

// Sets NAME=value in env, dropping an earlier entry of that name.
void setVariable(std::vector<std::string>& env, const std::string& entry) {
  const size_t n = entry.find('=') + 1;  // 0 for no '=': nothing matches
  env.erase(std::remove_if(env.begin(), env.end(),
                           [&](const std::string& e) {
                             return n > 0 && e.compare(0, n, entry, 0, n) == 0;
                           }),
            env.end());
  env.push_back(entry);
}

Failure failure(const SpawnStep& step) {
  Failure f;
  f.status = step.status;
  if (!step.message.empty()) {
    f.record = "E";
    f.record += '\0';
    f.record += step.message.substr(0, kMaxMessage);
    f.record += '\n';
  }
  return f;
}

// Below: the child's side, async-signal-safe throughout.

[[noreturn]] void fail(int fd, const Failure& f) {
  const int err = errno;
  if (fd >= 0 && !f.record.empty()) {
    char buf[kMaxMessage + 32];
    size_t n = std::min(f.record.size(), kMaxMessage + 8);
    memcpy(buf, f.record.data(), n);
    char digits[16];
    int d = 0;
    unsigned value = err < 0 ? 0u : static_cast<unsigned>(err);
    do {
      digits[d++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0 && d < 16);
    while (d > 0) buf[n++] = digits[--d];
    ssize_t w;
    do {
      w = write(fd, buf, n);
    } while (w < 0 && errno == EINTR);
  }
  _exit(f.status);
}

// Up from the numbers the child sets (the standard streams, the passed
// descriptor), so that setting one cannot overwrite a descriptor still to be
// used.
int moveUp(int fd, int floor) {
  if (fd < 0 || fd >= floor) return fd;
  return fcntl(fd, F_DUPFD_CLOEXEC, floor);
}

// Closes every descriptor from `first` up but `keep`. The program must hold
// nothing of the monitor's: a stray copy of another component's pipe would
// keep that component's end-of-file from arriving.
bool closeInherited(int first, int keep) {
#ifdef SYS_close_range
  bool closed = true;
  if (keep > first) {
    closed = syscall(SYS_close_range, static_cast<unsigned>(first),
                     static_cast<unsigned>(keep - 1), 0u) == 0;
  }
  if (closed) {
    const unsigned from = static_cast<unsigned>(keep >= first ? keep + 1 : first);
    if (syscall(SYS_close_range, from, ~0u, 0u) == 0) return true;
  }
#endif
  // Older kernels: the open descriptors from /proc, read with the raw call
  // into a stack buffer since opendir would allocate.
  int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    // Closing entries while reading the directory may hide others, so
    // passes repeat until one finds nothing left to close.
    for (bool closedAny = true; closedAny;) {
      closedAny = false;
      if (lseek(dir, 0, SEEK_SET) < 0) break;
      alignas(struct dirent64) char buf[4096];
      for (;;) {
        long n = syscall(SYS_getdents64, dir, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (long off = 0; off < n;) {
          const auto* entry = reinterpret_cast<const struct dirent64*>(buf + off);
          off += entry->d_reclen;
          const char* p = entry->d_name;
          if (*p < '0' || *p > '9') continue;
          int fd = 0;
          for (; *p >= '0' && *p <= '9'; ++p) fd = fd * 10 + (*p - '0');
          if (fd >= first && fd != dir && fd != keep) {
            close(fd);
            closedAny = true;
          }
        }
      }
    }
    close(dir);
    return true;
  }
  // No /proc either (a chroot): every number up to the limit.
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  const rlim_t top = std::min<rlim_t>(limit.rlim_cur, 1 << 20);
  for (rlim_t fd = static_cast<rlim_t>(first); fd < top; ++fd) {
    if (static_cast<int>(fd) != keep) close(static_cast<int>(fd));
  }
  return true;
}

// The identity calls as the kernel has them. The C library's versions set
// the identity of every thread of the process, which it believes to be ours
// still when the child shares our memory; the child has one thread.
#if defined(__linux__)
int rawSetgroups(size_t n, const gid_t* groups) { return static_cast<int>(syscall(SYS_setgroups, n, groups)); }
int rawSetgid(gid_t gid) { return static_cast<int>(syscall(SYS_setgid, gid)); }
int rawSetuid(uid_t uid) { return static_cast<int>(syscall(SYS_setuid, uid)); }
#else
int rawSetgroups(size_t n, const gid_t* groups) { return setgroups(static_cast<int>(n), groups); }
int rawSetgid(gid_t gid) { return setgid(gid); }
int rawSetuid(uid_t uid) { return setuid(uid); }
#endif

// Never returns into the caller's code.
[[noreturn]] void runChild(const Prepared& plan) {
  const int floor = plan.pass >= 0 ? SpawnPlan::kPassedFd + 1 : 3;
  // The report descriptor first: every later failure is told through it.
  int report = plan.report;
  if (report >= 0) {
    const int moved = moveUp(report, floor);
    if (moved < 0) fail(report, plan.streamsFailed);
    report = moved;
    if (fcntl(report, F_SETFD, FD_CLOEXEC) != 0) fail(report, plan.streamsFailed);
  }
  // "0" stands for the writer; the descriptor is closed with the others.
  if (plan.cgroup >= 0) {
    ssize_t w;
    do {
      w = write(plan.cgroup, "0", 1);
    } while (w < 0 && errno == EINTR);
    if (w != 1) fail(report, plan.cgroupFailed);
  }

  int source[3];
  for (int i = 0; i < 3; ++i) {
    source[i] = moveUp(plan.streams[i], floor);
    if (plan.streams[i] >= 0 && source[i] < 0) fail(report, plan.streamsFailed);
  }
  const int pass = moveUp(plan.pass, floor);
  if (plan.pass >= 0 && pass < 0) fail(report, plan.streamsFailed);
  if (plan.needNull) {
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) fail(report, plan.streamsFailed);
    if (null < floor) {
      // It took the place of a closed stream that is to be set below.
      const int moved = moveUp(null, floor);
      if (moved < 0) fail(report, plan.streamsFailed);
      close(null);
      null = moved;
    }
    for (int& s : source) {
      if (s == SpawnPlan::kNull) s = null;
    }
  }
  // Every source sits above the numbers set here now, so no dup2 overwrites
  // another's source; dup2 also clears close-on-exec on the copy.
  for (int i = 0; i < 3; ++i) {
    if (source[i] >= 0 && dup2(source[i], i) < 0) fail(report, plan.streamsFailed);
  }
  if (pass >= 0 && dup2(pass, SpawnPlan::kPassedFd) < 0) fail(report, plan.streamsFailed);

  if (!closeInherited(floor, report)) fail(report, plan.descriptorsFailed);

  if (!plan.signalsValid) fail(report, plan.signalSetFailed);
  // The parent's handlers are not the program's: until the exec a signal
  // would run them here, where they may write to the parent's descriptors.
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) != 0) continue;
    if ((current.sa_flags & SA_SIGINFO) != 0 || (current.sa_handler != SIG_DFL &&
                                                  current.sa_handler != SIG_IGN))
      sigaction(sig, &plan.defaultAction, nullptr);
  }
  if (sigprocmask(SIG_SETMASK, &plan.callerMask, nullptr) != 0)
    fail(report, plan.signalMaskFailed);
  for (int sig : plan.defaults) {
    if (sigaction(sig, &plan.defaultAction, nullptr) != 0) fail(report, plan.signalSetFailed);
  }
  if (plan.clearMask) {
    sigset_t none;
    if (sigemptyset(&none) != 0 || sigprocmask(SIG_SETMASK, &none, nullptr) != 0)
      fail(report, plan.signalMaskFailed);
  } else if (sigprocmask(SIG_UNBLOCK, &plan.unblock, nullptr) != 0) {
    fail(report, plan.signalMaskFailed);
  }

  for (const PreparedLimit& limit : plan.limits) {
    if (setrlimit(limit.resource, &limit.value) != 0) fail(report, limit.failed);
  }

  // Root's supplementary groups must not follow the program into its
  // unprivileged identity: the target group (or the current one) replaces
  // them before either switch.
  if (plan.gid != 0 && plan.gid != getgid()) {
    if (geteuid() == 0 && rawSetgroups(1, &plan.gid) != 0) fail(report, plan.groupFailed);
    if (rawSetgid(plan.gid) != 0) fail(report, plan.groupFailed);
  }
  if (plan.uid != 0 && plan.uid != getuid()) {
    if (geteuid() == 0) {
      const gid_t gid = getgid();
      if (rawSetgroups(1, &gid) != 0) fail(report, plan.userFailed);
    }
    if (rawSetuid(plan.uid) != 0) fail(report, plan.userFailed);
  }
  if (plan.newSession && setsid() < 0) fail(report, plan.sessionFailed);
  // After the identity switch, which clears the setting.
  if (plan.deathSignal != 0) {
#if defined(__linux__)
    if (prctl(PR_SET_PDEATHSIG, plan.deathSignal) != 0) fail(report, plan.signalSetFailed);
#elif defined(__FreeBSD__)
    int sig = plan.deathSignal;
    if (procctl(P_PID, 0, PROC_PDEATHSIG_CTL, &sig) != 0) fail(report, plan.signalSetFailed);
#endif
    // The parent may have gone before the setting took effect.
    if (getppid() != plan.parent) {
      kill(getpid(), plan.deathSignal);
      _exit(plan.unknownFailed.status);
    }
  }

  if (plan.ownEnv) {
    if (execve(plan.path, plan.argv.data(), plan.envp.data()) < 0) fail(report, plan.execFailed);
  } else if (execv(plan.path, plan.argv.data()) < 0) {
    fail(report, plan.execFailed);
  }
  fail(report, plan.unknownFailed);
}

}  // namespace

ChildProcess spawn(const SpawnPlan& plan) {
  Prepared p;
  p.path = plan.path.c_str();
  p.args = plan.argv;
  p.argv.reserve(p.args.size() + 1);
  for (std::string& a : p.args) p.argv.push_back(&a[0]);
  p.argv.push_back(nullptr);

  p.ownEnv = plan.replaceEnvironment || !plan.extraEnvironment.empty();
  if (p.ownEnv) {
    if (plan.replaceEnvironment) {
      for (const std::string& entry : plan.environment) setVariable(p.env, entry);
    } else {
      for (char** e = environ; e && *e; ++e) p.env.emplace_back(*e);
    }
    for (const std::string& entry : plan.extraEnvironment) setVariable(p.env, entry);
    p.envp.reserve(p.env.size() + 1);
    for (std::string& e : p.env) p.envp.push_back(&e[0]);
    p.envp.push_back(nullptr);
  }
  for (const SpawnPlan::Limit& limit : plan.limits) {
    SpawnStep step = plan.limit;
    if (!limit.message.empty()) step.message = limit.message;
    PreparedLimit prepared{static_cast<Resource>(limit.resource), {limit.soft, limit.hard},
                           failure(step)};
    p.limits.push_back(std::move(prepared));
  }
  p.cgroup = plan.cgroupProcsFd;

  p.streams[0] = plan.stdinFd;
  p.streams[1] = plan.stdoutFd;
  p.streams[2] = plan.stderrFd;
  for (int s : p.streams) p.needNull = p.needNull || s == SpawnPlan::kNull;
  p.report = plan.reportFd;
  p.pass = plan.passFd;
  p.uid = plan.uid;
  p.gid = plan.gid;
  p.newSession = plan.newSession;
  p.deathSignal = plan.parentDeathSignal;
  p.parent = getpid();

  p.clearMask = plan.clearSignalMask;
  // sigaddset refuses what is no signal; checked here, failed in the child.
  p.signalsValid = sigemptyset(&p.unblock) == 0;
  for (int sig : plan.unblockSignals)
    p.signalsValid = p.signalsValid && sigaddset(&p.unblock, sig) == 0;
  sigset_t scratch;
  sigemptyset(&scratch);
  for (int sig : plan.defaultSignals)
    p.signalsValid = p.signalsValid && sigaddset(&scratch, sig) == 0;
  p.defaults = plan.defaultSignals;
  memset(&p.defaultAction, 0, sizeof p.defaultAction);
  p.defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&p.defaultAction.sa_mask);

  p.streamsFailed = failure(plan.streams);
  p.descriptorsFailed = failure(plan.descriptors);
  p.signalSetFailed = failure(plan.signalSet);
  p.signalMaskFailed = failure(plan.signalMask);
  p.groupFailed = failure(plan.group);
  p.userFailed = failure(plan.user);
  p.execFailed = failure(plan.exec);
  p.unknownFailed = failure(plan.unknown);
  p.sessionFailed = failure(plan.session);
  p.cgroupFailed = failure(plan.cgroup);

  // Everything blocked from the fork until the child has reset the
  // handlers it inherits: see runChild.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &p.callerMask);
  pid_t pid = -1;
  // Sanitizers keep books on every stack frame; a frame on a stack they do
  // not know, in memory the parent shares, would confuse them: plain fork.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // The child shares our memory until its exec, on a stack of its own: a
  // supervisor with thousands of children would otherwise copy its page
  // tables for every start. It only makes system calls on what was prepared
  // above, and we are suspended until it has exec'd or failed.
  static constexpr size_t kChildStack = 64 * 1024;
  std::unique_ptr<char[]> stack(new (std::nothrow) char[kChildStack]);
  if (stack) {
    pid = clone(
        [](void* arg) -> int { runChild(*static_cast<const Prepared*>(arg)); },
        stack.get() + kChildStack, CLONE_VM | CLONE_VFORK | SIGCHLD, &p);
  }
  if (pid < 0)
#endif
    pid = fork();
  if (pid == 0) runChild(p);
  pthread_sigmask(SIG_SETMASK, &p.callerMask, nullptr);
  if (pid < 0) throw std::runtime_error("fork() error");
  return ChildProcess(pid);
}
