// Stand-in for the mail inject command: reads one mail on standard input and
// files it as a new file "mail-<seconds>.<nanoseconds>-<pid>" in the directory
// given as the only argument. The file appears whole (written under a
// temporary name, then renamed), so a reader that sees it can read it all.
//
//   fake-inject DIR
//
// Exit status 0 when the mail was filed, 1 otherwise.

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

bool readAll(int fd, std::string& out) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

bool writeAll(int fd, const std::string& data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n > 0) {
      p += n;
      left -= static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

int fail(const std::string& what) {
  fprintf(stderr, "fake-inject: %s: %s\n", what.c_str(), strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: fake-inject DIR\n");
    return 1;
  }
  const std::string dir = argv[1];
  std::string mail;
  if (!readAll(STDIN_FILENO, mail)) return fail("read");

  std::string tmp = dir + "/.inject-XXXXXX";
  int fd = mkstemp(&tmp[0]);
  if (fd < 0) return fail("mkstemp " + tmp);
  if (!writeAll(fd, mail) || fsync(fd) != 0) {
    int saved = errno;
    close(fd);
    unlink(tmp.c_str());
    errno = saved;
    return fail("write " + tmp);
  }
  if (close(fd) != 0) {
    unlink(tmp.c_str());
    return fail("close " + tmp);
  }
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  char name[96];
  snprintf(name, sizeof name, "/mail-%lld.%09ld-%ld", static_cast<long long>(now.tv_sec),
           static_cast<long>(now.tv_nsec), static_cast<long>(getpid()));
  const std::string final = dir + name;
  if (rename(tmp.c_str(), final.c_str()) != 0) {
    unlink(tmp.c_str());
    return fail("rename " + final);
  }
  return 0;
}
