#ifndef NORVAK_TESTS_INTEGRATION_SUPPORT_PROGRAM_RUN_H_
#define NORVAK_TESTS_INTEGRATION_SUPPORT_PROGRAM_RUN_H_

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace norvak_test {

struct ProgramRun {
  int status = -1;  // exit status; -1 when it did not exit by itself in time
  std::string out;
  std::string err;
};

// Runs a program to its end with its output captured; killed after the
// time-out. With a uid other than 0 the program runs as that user and group.
inline ProgramRun runProgram(const std::vector<std::string>& args, int timeoutSec = 30,
                             uid_t uid = 0, gid_t gid = 0) {
  ProgramRun result;
  std::vector<std::string> words = args;
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (uid != 0 && (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&result.out, &result.err};
  int open = pid > 0 ? 2 : 0;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        into[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  close(out[0]);
  close(err[0]);
  if (pid <= 0) return result;
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return result;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return result;
    }
    usleep(10000);
  }
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

const char kCtl[] = NORVAK_BIN_DIR "/tools/norvak-monitor-ctl";

// norvak-monitor-ctl with the monitor's configuration file; the time-out
// leaves room for a request the monitor serves only after a reload.
inline ProgramRun runCtl(const std::string& conf, std::vector<std::string> args, uid_t uid = 0,
                         gid_t gid = 0) {
  args.insert(args.begin(), {kCtl, "--conf", conf});
  return runProgram(args, 60, uid, gid);
}

}  // namespace norvak_test

#endif  // NORVAK_TESTS_INTEGRATION_SUPPORT_PROGRAM_RUN_H_
