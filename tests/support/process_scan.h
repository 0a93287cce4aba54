#ifndef NORVAK_TESTS_SUPPORT_PROCESS_SCAN_H_
#define NORVAK_TESTS_SUPPORT_PROCESS_SCAN_H_

// Kept apart from proc_util.h, which the benchmarks include beside names
// of their own that these would clash with.

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "file_util.h"
#include "proc_util.h"

// argv of a process, NUL-separated; empty for zombies and kernel threads.
inline std::string cmdlineOf(pid_t pid) {
  return readFile("/proc/" + std::to_string(pid) + "/cmdline");
}

// Live (not zombie) processes but this one whose command line contains text.
inline std::vector<pid_t> processesMentioning(const std::string& text) {
  std::vector<pid_t> found;
  for (pid_t pid : allPids()) {
    std::string cmd = cmdlineOf(pid);
    std::replace(cmd.begin(), cmd.end(), '\0', ' ');
    if (pid != getpid() && cmd.find(text) != std::string::npos) found.push_back(pid);
  }
  return found;
}

// Fields of /proc/PID/stat after the command name, whose parentheses may
// hold anything: [0] is the state, [1] the parent, [11] and [12] the user
// and system time.
inline std::vector<std::string> statFields(pid_t pid) {
  const std::string s = readFile("/proc/" + std::to_string(pid) + "/stat");
  std::vector<std::string> fields;
  const size_t paren = s.rfind(')');
  if (paren == std::string::npos) return fields;
  std::istringstream in(s.substr(paren + 1));
  std::string f;
  while (in >> f) fields.push_back(f);
  return fields;
}

// Its child processes, zombies included.
inline std::vector<pid_t> childrenOf(pid_t pid) {
  std::vector<pid_t> found;
  for (pid_t p : allPids()) {
    const std::vector<std::string> f = statFields(p);
    if (f.size() > 1 && atol(f[1].c_str()) == pid) found.push_back(p);
  }
  return found;
}

#endif  // NORVAK_TESTS_SUPPORT_PROCESS_SCAN_H_
