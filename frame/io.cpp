#include "frame/io.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace IO {

void wait_for_read(int fd, int64_t& budgetUsec) {
  using Clock = std::chrono::steady_clock;
  using std::chrono::microseconds;
  // One wait never exceeds this, so that a huge budget cannot overflow the
  // clock arithmetic; a longer budget simply waits again.
  const int64_t kMaxSliceUsec = int64_t(24) * 3600 * 1000000;
  if (budgetUsec < 0) budgetUsec = 0;
  const Clock::time_point start = Clock::now();
  auto spentUsec = [&start] {
    return std::chrono::duration_cast<microseconds>(Clock::now() - start).count();
  };
  struct pollfd p = {fd, POLLIN, 0};
  for (;;) {
    const int64_t left = std::max<int64_t>(budgetUsec - spentUsec(), 0);
    const int64_t slice = std::min(left, kMaxSliceUsec);
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(slice / 1000000);
    ts.tv_nsec = static_cast<long>((slice % 1000000) * 1000);
    p.revents = 0;
    int r = ppoll(&p, 1, &ts, nullptr);
    if (r < 0) {
      if (errno == EINTR) continue;
      // People read this text in the logs; it has always named select.
      throw Error(std::string("error in select(): ") + strerror(errno));
    }
    if (r == 0) {
      if (left > slice) continue;
      budgetUsec = 0;
      throw TimeoutException("timeout expired while waiting for data");
    }
    if (p.revents & POLLNVAL) throw Error(std::string("error in select(): ") + strerror(EBADF));
    break;
  }
  budgetUsec = std::max<int64_t>(budgetUsec - spentUsec(), 0);
}

bool readLine(int fd, int64_t& budgetUsec, std::string& line) {
  for (;;) {
    wait_for_read(fd, budgetUsec);
    unsigned char c;
    ssize_t n = read(fd, &c, 1);
    if (n < 0) {
      // A spurious wake-up on a non-blocking descriptor just waits again.
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      throw std::runtime_error(std::string("IO::readLine: read error: ") + strerror(errno));
    }
    if (n == 0) return false;
    if (c == '\n') return true;
    if (std::iscntrl(c)) return false;
    line += static_cast<char>(c);
  }
}

}  // namespace IO
