#include "program/start_report.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ostream>
#include <stdexcept>

#include "frame/utils.h"
#include "ipc/nk_unique_fd.h"

namespace {

// Close-on-exec: no component may hold the write end, or the parent would
// not see the end of a daemon that died without a word.
norvak::base::UniqueFd g_read;
norvak::base::UniqueFd g_write;

}  // namespace

namespace start_report {

void open() {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("cannot create start-up pipe: ") + strerror(errno));
  }
  g_read.reset(p[0]);
  g_write.reset(p[1]);
}

void becomeDaemon() { g_read.reset(); }

int awaitDaemon(int seconds, std::ostream& err) {
  g_write.reset();
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
    struct pollfd p = {g_read.get(), POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left.count()) + 1);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) continue;
    char buf[1024];
    const ssize_t n = r < 0 ? -1 : read(g_read.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      text.append(buf, static_cast<size_t>(n));
      continue;
    }
    break;
  }
  g_read.reset();
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
  if (!g_write) return;
  try {
    Utils::writeAll(g_write.get(), std::to_string(status) + "\n" + line);
  } catch (const Utils::error&) {
    // The parent has gone: nobody is left to tell.
  }
  g_write.reset();
}

}  // namespace start_report
