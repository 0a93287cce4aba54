#ifndef NORVAK_TESTS_SUPPORT_TEMP_DIR_H_
#define NORVAK_TESTS_SUPPORT_TEMP_DIR_H_

#include <stdlib.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

// A fresh directory under $TMPDIR (or /tmp), removed with its content when
// the object goes away.
class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/norvak-test-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() { removeNow(); }
  // For a child process that leaves with exit() and runs no destructors.
  void removeNow() {
    if (path_.empty()) return;
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
    path_.clear();
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

#endif  // NORVAK_TESTS_SUPPORT_TEMP_DIR_H_
