#include "config/regular_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ipc/nk_unique_fd.h"

namespace RegularFile {

namespace {

Fault kindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return Fault::kNone;
  return S_ISDIR(st.st_mode) ? Fault::kDirectory : Fault::kNotRegular;
}

}  // namespace

Fault read(const std::string& path, std::string& text, int& error) {
  error = 0;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    error = errno;
    return Fault::kSystem;
  }
  if (kindOf(st) != Fault::kNone) return kindOf(st);

  norvak::base::UniqueFd file;
  do {
    file.reset(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  } while (!file && errno == EINTR);
  if (!file) {
    error = errno;
    return Fault::kSystem;
  }
  const int fd = file.get();
  if (fstat(fd, &st) != 0) {
    error = errno;
    return Fault::kSystem;
  }
  if (kindOf(st) != Fault::kNone) return kindOf(st);
  // A regular file never blocks; the flag only served the open.
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    error = errno;
    return Fault::kSystem;
  }

  text.clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      text.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      return Fault::kNone;
    } else if (errno != EINTR) {
      error = errno;
      return Fault::kSystem;
    }
  }
}

}  // namespace RegularFile
