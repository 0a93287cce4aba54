#include "monitor/hup_files.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "frame/log.h"
#include "frame/utils.h"
#include "ipc/nk_unique_fd.h"

using norvak::base::UniqueFd;

namespace HupFiles {

namespace {

void sendHup(pid_t pid, const std::string& name) {
  logInfo("send HUP signal to component " + (name.empty() ? std::string() : "\"" + name + "\" ") +
          "with pid = " + std::to_string(pid));
  kill(pid, SIGHUP);
}

}  // namespace

bool parseName(const std::string& path, std::string& component, pid_t& pid) {
  // Only the file's own name counts: a dot in the directory must not shift
  // the fields.
  std::string::size_type slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.size() <= 4) return false;
  std::string::size_type n = name.size() - 4;
  if (name[n] != '.') return false;
  std::string::size_type dot = name.rfind('.', n - 1);
  if (dot == std::string::npos) return false;
  int value = 0;
  if (sscanf(name.substr(dot + 1, n - dot - 1).c_str(), "%d", &value) != 1) return false;
  pid = value;
  component = name.substr(0, dot);
  return true;
}

void pass(const std::string& dir, std::set<pid_t>& pids) {
  std::vector<std::string> files;
  Utils::listFiles(dir, ".hup", files);
  for (const std::string& path : files) {
    // Only a regular file is a hup file. Anybody who may write the directory
    // could put a FIFO there, whose blocking open would hold the loop until
    // somebody reads it, or a link to a file the monitor must not lock.
    auto skip = [&path] { logAlert("hup file \"" + path + "\" is not a regular file, skipped"); };
    struct stat before;
    if (lstat(path.c_str(), &before) == 0 && !S_ISREG(before.st_mode)) {
      skip();
      continue;
    }
    int fd;
    do {
      fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    // Swapped for a link or a FIFO since the look above.
    if (fd < 0 && (errno == ELOOP || errno == ENXIO)) {
      skip();
      continue;
    }
    if (fd < 0) {
      logAlert("error in open hup file \"" + path + "\":" + strerror(errno));
      continue;
    }
    UniqueFd file(fd);
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      skip();
      continue;
    }
    std::string component;
    pid_t pid = -1;
    if (!parseName(path, component, pid)) {
      logAlert("bad hup file format \"" + path + "\"");
      continue;
    }
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_pid = getpid();
    int rc;
    do {
      rc = fcntl(fd, F_SETLK, &lock);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) {
      logInfo("unlink not locked hup file \"" + path + "\"");
      if (unlink(path.c_str()) != 0) {
        logError("unlink error, file \"" + path + "\":" + strerror(errno));
      }
    } else if (pids.count(pid)) {
      sendHup(pid, component);
      pids.erase(pid);
    }
  }
}

}  // namespace HupFiles
