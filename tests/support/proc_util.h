#ifndef NORVAK_TESTS_SUPPORT_PROC_UTIL_H_
#define NORVAK_TESTS_SUPPORT_PROC_UTIL_H_

#include <dirent.h>
#include <sys/types.h>

#include <cstdlib>
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

#endif  // NORVAK_TESTS_SUPPORT_PROC_UTIL_H_
