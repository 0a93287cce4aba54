#include "nk_control.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "nk_exception.h"
#include "nk_log.h"

namespace norvak {
namespace ipc {

NkControl::NkControl(const std::string& name) : name_(name) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    int error = errno;
    base::NkLogError("NkControl(" + name_ + ")::ctor - cannot create control pipe -" +
                     base::NkErrorText(error));
    throw base::NkSystemError("NkControl(" + name_ + ")::ctor - cannot create control pipe -",
                              error);
  }
  read_fd_.reset(fds[0]);
  write_fd_.reset(fds[1]);
}

bool NkControl::Send(uint32_t code) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (std::find(queue_.begin(), queue_.end(), code) != queue_.end()) {
    if (base::NkLogEnabled(base::NK_LOG_DEBUG)) {
      base::NkLogDebug("NkControl(" + name_ + "): skip sending 0x" + base::NkHexText(code) +
                       ": already in queue");
    }
    return false;
  }
  const char byte = 1;
  for (;;) {
    if (write(write_fd_.get(), &byte, 1) == 1) break;
    int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN) {
      // Only a reader far behind fills a pipe; wait for room, not in a spin.
      pollfd room = {write_fd_.get(), POLLOUT, 0};
      poll(&room, 1, 1000);
      continue;
    }
    base::NkLogError("NkControl(" + name_ + "): - can`t write command to control pipe: " +
                     base::NkErrorText(error));
    throw base::NkSystemError("NkControl(" + name_ + "): - can`t write command to control pipe",
                              error);
  }
  queue_.push_back(code);
  if (base::NkLogEnabled(base::NK_LOG_DEBUG)) {
    base::NkLogDebug("NkControl(" + name_ + "): set cmd to 0x" + base::NkHexText(code));
  }
  return true;
}

NkControl::ReadResult NkControl::Read(uint32_t* code) {
  if (base::NkLogEnabled(base::NK_LOG_DEBUG)) base::NkLogDebug("NkControl: read command...");
  std::lock_guard<std::mutex> lock(mutex_);
  char byte;
  for (;;) {
    ssize_t got = read(read_fd_.get(), &byte, 1);
    if (got == 1) break;
    int error = got < 0 ? errno : EPIPE;
    if (error == EINTR) continue;
    if (error == EAGAIN) return kNothing;
    base::NkLogError("NkControl(" + name_ + "): - can`t read command to control pipe: " +
                     base::NkErrorText(error));
    throw base::NkSystemError("NkControl(" + name_ + "): - can`t read command to control pipe",
                              error);
  }
  if (queue_.empty()) return kEmptyQueue;
  *code = queue_.front();
  queue_.pop_front();
  if (base::NkLogEnabled(base::NK_LOG_DEBUG)) {
    base::NkLogDebug("NkControl(" + name_ + "): got cmd = 0x" + base::NkHexText(*code));
  }
  return kCommand;
}

void NkControl::Clear() {
  base::NkLogDebug("NkControl(" + name_ + "): clear...");
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.clear();
  char buffer[64];
  for (;;) {
    ssize_t got = read(read_fd_.get(), buffer, sizeof(buffer));
    if (got > 0) continue;
    if (got < 0 && errno == EINTR) continue;
    break;
  }
}

size_t NkControl::GetQueueSize() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

}  // namespace ipc
}  // namespace norvak
