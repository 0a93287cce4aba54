#ifndef NORVAK_TESTS_SUPPORT_FILE_UTIL_H_
#define NORVAK_TESTS_SUPPORT_FILE_UTIL_H_

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

// The whole content of a file; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Replaces the file's content.
inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
}

// Whether the path names anything, a dangling symbolic link too.
inline bool pathExists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

// A /bin/sh script with the body, executable.
inline void writeScript(const std::string& path, const std::string& body) {
  writeFile(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
}

#endif  // NORVAK_TESTS_SUPPORT_FILE_UTIL_H_
