#include "program/start_report.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ostream>
#include <stdexcept>

namespace {

// Close-on-exec: no component may hold the write end, or the parent would
// not see the end of a daemon that died without a word.
int g_read = -1;
int g_write = -1;

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

namespace start_report {

void open() {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("cannot create start-up pipe: ") + strerror(errno));
  }
  g_read = p[0];
  g_write = p[1];
}

void becomeDaemon() { closeFd(g_read); }

int awaitDaemon(int seconds, std::ostream& err) {
  closeFd(g_write);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::string text;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      err << "no start-up report from the daemon within " << seconds << " seconds"
          << std::endl;
      return 8;
    }
    struct pollfd p = {g_read, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left.count()) + 1);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) continue;
    char buf[1024];
    const ssize_t n = r < 0 ? -1 : read(g_read, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      text.append(buf, static_cast<size_t>(n));
      continue;
    }
    break;
  }
  closeFd(g_read);
  // The report is the status, a newline and the error line.
  const size_t nl = text.find('\n');
  if (text.empty() || nl == std::string::npos) {
    err << "the daemon ended before reporting its start-up" << std::endl;
    return 8;
  }
  const std::string line = text.substr(nl + 1);
  if (!line.empty()) err << line << std::endl;
  try {
    return std::stoi(text.substr(0, nl));
  } catch (const std::exception&) {
    return 8;
  }
}

void send(int status, const std::string& line) {
  if (g_write < 0) return;
  std::string text = std::to_string(status) + "\n" + line;
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = write(g_write, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  closeFd(g_write);
}

}  // namespace start_report
