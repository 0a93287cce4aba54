#ifndef NORVAK_TESTS_SUPPORT_PROC_UTIL_H_
#define NORVAK_TESTS_SUPPORT_PROC_UTIL_H_

#include <dirent.h>
#include <errno.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

// Every process id listed in /proc.
inline std::vector<pid_t> allPids() {
  std::vector<pid_t> pids;
  DIR* d = opendir("/proc");
  if (!d) return pids;
  while (struct dirent* e = readdir(d)) {
    char* end;
    long v = strtol(e->d_name, &end, 10);
    if (*end == '\0' && v > 0) pids.push_back(static_cast<pid_t>(v));
  }
  closedir(d);
  return pids;
}

// Entries of a /proc directory, "." and ".." left out.
inline int procEntries(const std::string& dir) {
  int n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
  }
  return n;
}

// Descriptors open in this process, the one that reads the list left out.
inline int openDescriptors() { return procEntries("/proc/self/fd") - 1; }

inline int threadCount() { return procEntries("/proc/self/task"); }

// A child that sleeps until it is killed; the test reaps it.
inline pid_t forkSleeper() {
  const pid_t pid = fork();
  if (pid == 0) {
    for (;;) pause();
  }
  return pid;
}

// A child that exits with code, `after` microseconds from now.
inline pid_t forkExiting(int code, useconds_t after = 0) {
  const pid_t pid = fork();
  if (pid == 0) {
    usleep(after);
    _exit(code);
  }
  return pid;
}

// True when this process has no child at all, zombie or running.
inline bool noChildLeft() {
  int status;
  return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

#endif  // NORVAK_TESTS_SUPPORT_PROC_UTIL_H_
