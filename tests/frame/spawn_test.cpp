#include "frame/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <sys/resource.h>

#include <sstream>
#include <string>

#include "file_util.h"
#include "ipc/nk_unique_fd.h"
#include "proc_util.h"
#include "temp_dir.h"

using norvak::base::UniqueFd;

namespace {

struct Pipe {
  UniqueFd read, write;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
      read.reset(fds[0]);
      write.reset(fds[1]);
    }
  }
};

std::string readAll(int fd) {
  std::string out;
  char buf[512];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

SpawnPlan shell(const std::string& script) {
  SpawnPlan plan;
  plan.path = "/bin/sh";
  plan.argv = {"sh", "-c", script};
  return plan;
}

// Runs the script with its standard output on a pipe; returns what it
// printed and how it ended.
std::string run(SpawnPlan plan, ExitStatus* status = nullptr) {
  Pipe out;
  plan.stdoutFd = out.write.get();
  ChildProcess child = spawn(plan);
  out.write.reset();
  std::string text = readAll(out.read.get());
  ExitStatus s = child.wait();
  if (status) *status = s;
  return text;
}

std::string record(const std::string& message, int err) {
  return std::string("E") + '\0' + message + "\n" + std::to_string(err);
}

TEST(SpawnTest, StreamsAndNothingElseReachTheProgram) {
  Pipe in, err;
  // Without close-on-exec, as a descriptor opened by other code may be.
  UniqueFd stray(fcntl(in.read.get(), F_DUPFD, 40));
  ASSERT_TRUE(stray.valid());
  SpawnPlan plan = shell(
      "read line; echo \"in:$line\"; echo oops >&2;"
      "if [ -e /proc/$$/fd/40 ]; then echo 40:open; else echo 40:closed; fi");
  plan.stdinFd = in.read.get();
  plan.stderrFd = err.write.get();
  ASSERT_EQ(write(in.write.get(), "hello\n", 6), 6);
  in.write.reset();
  Pipe out;
  plan.stdoutFd = out.write.get();
  ChildProcess child = spawn(plan);
  out.write.reset();
  err.write.reset();
  EXPECT_EQ(readAll(out.read.get()), "in:hello\n40:closed\n");
  EXPECT_EQ(readAll(err.read.get()), "oops\n");
  EXPECT_EQ(child.wait().code, 0);

  // By default the input is /dev/null: cat ends at once.
  EXPECT_EQ(run(shell("cat; echo done")), "done\n");
}

// A process whose own standard streams are closed gets pipes on 0..2; the
// routine must not overwrite one stream's source while setting another.
TEST(SpawnTest, SourcesOnTheStandardNumbers) {
  Pipe result;
  const pid_t helper = fork();
  ASSERT_GE(helper, 0);
  if (helper == 0) {
    const int report = fcntl(result.write.get(), F_DUPFD, 20);
    close(0);
    close(1);
    close(2);
    int x[2], y[2], z[2];
    if (pipe(x) != 0 || pipe(y) != 0 || x[0] != 0 || x[1] != 1 || y[0] != 2) _exit(1);
    // Crosswise: stdout goes to y (fd 3), stderr to x (fd 1); the passed
    // descriptor, to become 3, must not overwrite the stdout source either.
    SpawnPlan plan = shell("echo out; echo err >&2; cat <&3");
    plan.stdoutFd = y[1];
    plan.stderrFd = x[1];
    if (pipe(z) != 0 || write(z[1], "passed\n", 7) != 7) _exit(1);
    close(z[1]);
    plan.passFd = z[0];
    ChildProcess child = spawn(plan);
    close(x[1]);
    close(y[1]);
    const std::string text = readAll(x[0]) + "|" + readAll(y[0]);
    child.wait();
    if (write(report, text.data(), text.size()) < 0) _exit(1);
    _exit(0);
  }
  result.write.reset();
  EXPECT_EQ(readAll(result.read.get()), "err\n|out\npassed\n");
  ChildProcess(helper).wait();
}

TEST(SpawnTest, FailingStepWritesOneRecordAndExitsWithItsStatus) {
  Pipe report;
  SpawnPlan plan;
  plan.path = "/nonexistent/program";
  plan.argv = {"program"};
  plan.reportFd = report.write.get();
  plan.exec.message = "exec( /nonexistent/program ) error";
  ChildProcess child = spawn(plan);
  report.write.reset();
  EXPECT_EQ(readAll(report.read.get()), record("exec( /nonexistent/program ) error", ENOENT));
  ExitStatus status = child.wait();
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 5);

  // Signals that are no signals fail before anything runs.
  plan = shell("echo ran");
  plan.unblockSignals = {SIGTERM, 100000};
  EXPECT_EQ(run(plan, &status), "");
  EXPECT_EQ(status.code, 2);

  // Without a message the step fails silently, with its status; a
  // successful exec closes the child's copy of the report descriptor.
  Pipe silent;
  plan = shell("exit 0");
  plan.path = "/nonexistent/program";
  plan.exec = {"", 127};
  plan.reportFd = silent.write.get();
  child = spawn(plan);
  silent.write.reset();
  EXPECT_EQ(readAll(silent.read.get()), "");
  EXPECT_EQ(child.wait().code, 127);

  Pipe none;
  plan = shell("echo ran");
  plan.reportFd = none.write.get();
  EXPECT_EQ(run(plan), "ran\n");
  none.write.reset();
  EXPECT_EQ(readAll(none.read.get()), "");
  EXPECT_TRUE(noChildLeft());
}

// The record may share the answer pipe that becomes the standard output:
// the reader sees the answer byte first either way.
TEST(SpawnTest, RecordOnTheStandardOutput) {
  Pipe answer;
  SpawnPlan plan;
  plan.path = "/nonexistent/program";
  plan.argv = {"program"};
  plan.stdoutFd = answer.write.get();
  plan.reportFd = answer.write.get();
  plan.newSession = true;
  plan.exec.message = "exec( x ) error";
  ChildProcess child = spawn(plan);
  answer.write.reset();
  EXPECT_EQ(readAll(answer.read.get()), record("exec( x ) error", ENOENT));
  EXPECT_EQ(child.wait().code, 5);
}

std::string statusLine(const std::string& status, const std::string& name) {
  size_t at = status.find("\n" + name + ":");
  if (at == std::string::npos) return "";
  at += name.size() + 2;
  return status.substr(at, status.find('\n', at) - at);
}

unsigned long long mask(const std::string& hex) { return std::stoull(hex, nullptr, 16); }

unsigned long long bit(int sig) { return 1ull << (sig - 1); }

TEST(SpawnTest, SignalMaskAndDispositions) {
  sigset_t blocked, old;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigaddset(&blocked, SIGUSR2);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &old), 0);
  struct sigaction ignore, oldPipe;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGPIPE, &ignore, &oldPipe), 0);

  // Not through the shell, which sets its own mask.
  SpawnPlan status;
  status.path = "/bin/cat";
  status.argv = {"cat", "/proc/self/status"};
  SpawnPlan plan = status;
  plan.unblockSignals = {SIGUSR1};
  std::string text = "\n" + run(plan);
  EXPECT_EQ(mask(statusLine(text, "SigBlk")) & (bit(SIGUSR1) | bit(SIGUSR2)), bit(SIGUSR2));
  EXPECT_NE(mask(statusLine(text, "SigIgn")) & bit(SIGPIPE), 0u);

  plan = status;
  plan.clearSignalMask = true;
  plan.defaultSignals = {SIGPIPE};
  text = "\n" + run(plan);
  EXPECT_EQ(mask(statusLine(text, "SigBlk")), 0u);
  EXPECT_EQ(mask(statusLine(text, "SigIgn")) & bit(SIGPIPE), 0u);

  sigaction(SIGPIPE, &oldPipe, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

TEST(SpawnTest, SessionAndIdentity) {
  for (bool newSession : {false, true}) {
    Pipe in, out;
    SpawnPlan plan = shell("echo up; cat");
    plan.stdinFd = in.read.get();
    plan.stdoutFd = out.write.get();
    plan.newSession = newSession;
    ChildProcess child = spawn(plan);
    out.write.reset();
    char up[3];
    ASSERT_EQ(read(out.read.get(), up, sizeof up), 3);  // past the exec
    EXPECT_EQ(getsid(child.pid()) == child.pid(), newSession);
    in.write.reset();
    EXPECT_EQ(child.wait().code, 0);
  }

  // Root really switches and keeps no supplementary group of its own;
  // anybody else is refused and says so.
  const gid_t otherGid = getgid() == 65534 ? 65533 : 65534;
  const uid_t otherUid = getuid() == 65534 ? 65533 : 65534;
  Pipe report;
  SpawnPlan plan;
  plan.path = "/bin/cat";
  plan.argv = {"cat", "/proc/self/status"};
  plan.gid = otherGid;
  plan.uid = otherUid;
  plan.reportFd = report.write.get();
  plan.group.message = "cannot set group";
  ExitStatus exit;
  const std::string status = "\n" + run(plan, &exit);
  report.write.reset();
  const std::string records = readAll(report.read.get());
  if (geteuid() == 0) {
    const std::string gid = std::to_string(otherGid), uid = std::to_string(otherUid);
    EXPECT_EQ(statusLine(status, "Gid"), "\t" + gid + "\t" + gid + "\t" + gid + "\t" + gid);
    EXPECT_EQ(statusLine(status, "Uid"), "\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid);
    EXPECT_EQ(statusLine(status, "Groups"), "\t" + gid + " ");
    EXPECT_EQ(records, "");
  } else {
    EXPECT_EQ(records, record("cannot set group", EPERM));
    EXPECT_EQ(exit.code, 3);
  }

  // Only a user: root's groups go all the same.
  plan.gid = 0;
  plan.reportFd = -1;
  const std::string onlyUser = "\n" + run(plan, &exit);
  if (geteuid() == 0) {
    EXPECT_EQ(statusLine(onlyUser, "Groups"), "\t" + std::to_string(getgid()) + " ");
  } else {
    EXPECT_EQ(exit.code, 4);
  }
  EXPECT_TRUE(noChildLeft());
}

}  // namespace

namespace {

// The soft and hard figures of one line of /proc/self/limits.
std::string limitsLine(const std::string& text, const std::string& name) {
  const size_t at = text.find(name);
  if (at == std::string::npos) return "";
  std::istringstream in(text.substr(at + name.size(), text.find('\n', at) - at - name.size()));
  std::string soft, hard;
  in >> soft >> hard;
  return soft + " " + hard;
}

TEST(SpawnTest, CgroupLimitsAndEnvironmentAreSetBeforeTheExec) {
  TempDir dir;
  const std::string procs = dir.path() + "/cgroup.procs";
  UniqueFd cgroup(open(procs.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  SpawnPlan plan;
  plan.path = "/bin/cat";
  plan.argv = {"cat", "/proc/self/limits"};
  plan.cgroupProcsFd = cgroup.get();
  plan.limits = {{RLIMIT_NOFILE, 64, 128, ""}, {RLIMIT_CORE, 0, 0, ""}};
  const std::string limits = run(plan);
  EXPECT_EQ(limitsLine(limits, "Max open files"), "64 128");
  EXPECT_EQ(limitsLine(limits, "Max core file size"), "0 0");
  EXPECT_EQ(readFile(procs), "0");  // "0": the writer itself

  // Beyond what the system allows anybody: the start fails, saying which.
  Pipe report;
  plan.reportFd = report.write.get();
  plan.limits = {{RLIMIT_NOFILE, RLIM_INFINITY, RLIM_INFINITY, "cannot set limit NOFILE"}};
  ExitStatus exit;
  EXPECT_EQ(run(plan, &exit), "");
  report.write.reset();
  EXPECT_EQ(readAll(report.read.get()), record("cannot set limit NOFILE", EPERM));
  EXPECT_EQ(exit.code, 8);

  // Replaced, or inherited; the extra variables win either way. Nothing is
  // expanded.
  plan = SpawnPlan();
  plan.path = "/usr/bin/env";
  plan.argv = {"env"};
  plan.replaceEnvironment = true;
  plan.environment = {"A=1", "B=2", "A=3"};
  plan.extraEnvironment = {"B=x y", "C=$HOME"};
  EXPECT_EQ(run(plan), "A=3\nB=x y\nC=$HOME\n");
  plan.replaceEnvironment = false;
  ASSERT_EQ(setenv("NORVAK_SPAWN_INHERITED", "kept", 1), 0);
  const std::string inherited = "\n" + run(plan);
  unsetenv("NORVAK_SPAWN_INHERITED");
  EXPECT_NE(inherited.find("\nNORVAK_SPAWN_INHERITED=kept\n"), std::string::npos);
  EXPECT_NE(inherited.find("\nC=$HOME\n"), std::string::npos);
  EXPECT_EQ(inherited.find("\nA="), std::string::npos);
}

}  // namespace
