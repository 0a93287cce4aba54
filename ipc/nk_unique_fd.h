#ifndef NORVAK_IPC_NK_UNIQUE_FD_H_
#define NORVAK_IPC_NK_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

namespace norvak {
namespace base {

// Sole owner of a file descriptor: closes it when it goes away. close() is
// not retried on EINTR: on Linux the descriptor is released either way.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // For a caller that must report a failed close: the result of close(2)
  // (0, or -1 with errno set). The descriptor is forgotten either way, so a
  // failure is never followed by a second close of a number that may
  // already belong to someone else.
  int close() { return fd_ >= 0 ? ::close(release()) : 0; }

 private:
  int fd_ = -1;
};

}  // namespace base
}  // namespace norvak

#endif  // NORVAK_IPC_NK_UNIQUE_FD_H_
