// Preloaded into a monitor under test (LD_PRELOAD) to step its wall clock:
// every reading of the wall clock through time(), gettimeofday() or
// clock_gettime(CLOCK_REALTIME...) gets the number of seconds written in the
// file named by NORVAK_CLOCK_SHIFT_FILE added; a missing or empty file adds
// nothing. The file is read at every call, so that a test can step the clock
// of a running monitor. Other clocks pass through untouched.
//
// The real clocks are read by system call rather than through the next
// definition in the link chain: nothing here allocates or takes a lock, so
// the functions are safe whichever thread or signal handler calls them.

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {

long shiftSeconds() {
  const char* path = getenv("NORVAK_CLOCK_SHIFT_FILE");
  if (path == nullptr || *path == '\0') return 0;
  const int saved = errno;
  long seconds = 0;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char buf[32];
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    if (n > 0) {
      buf[n] = '\0';
      seconds = strtol(buf, nullptr, 10);
    }
    close(fd);
  }
  errno = saved;
  return seconds;
}

int readClock(clockid_t id, struct timespec* ts) {
  return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
}

bool isWallClock(clockid_t id) { return id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE; }

}  // namespace

extern "C" {

int clock_gettime(clockid_t id, struct timespec* ts) noexcept {
  const int rc = readClock(id, ts);
  if (rc == 0 && isWallClock(id)) ts->tv_sec += shiftSeconds();
  return rc;
}

int gettimeofday(struct timeval* __restrict tv, void* __restrict tz) noexcept {
  (void)tz;
  struct timespec ts;
  const int rc = clock_gettime(CLOCK_REALTIME, &ts);
  if (rc == 0) {
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
  }
  return rc;
}

time_t time(time_t* out) noexcept {
  struct timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return static_cast<time_t>(-1);
  if (out != nullptr) *out = ts.tv_sec;
  return ts.tv_sec;
}

}  // extern "C"
