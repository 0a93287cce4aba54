#ifndef NORVAK_TESTS_IPC_SOCKET_TEST_UTIL_H_
#define NORVAK_TESTS_IPC_SOCKET_TEST_UTIL_H_

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "nk_log.h"
#include "nk_unix_socket.h"

namespace norvak {
namespace testing_util {

// Two connected non-blocking sockets of a socketpair, wrapped as library
// sockets.
inline std::pair<std::shared_ptr<ipc::NkUnixSocket>, std::shared_ptr<ipc::NkUnixSocket>>
MakeSocketPair() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return {};
  auto a = std::make_shared<ipc::NkUnixSocket>();
  auto b = std::make_shared<ipc::NkUnixSocket>();
  a->SetHandle(fds[0]);
  b->SetHandle(fds[1]);
  a->ApplyOptions();
  b->ApplyOptions();
  a->SetConnected(true);
  b->SetConnected(true);
  return {a, b};
}

// Collects the library's log lines while alive.
class LogCapture : public base::NkIfLog {
 public:
  LogCapture() { base::NkSetLog(this); }
  ~LogCapture() override { base::NkSetLog(nullptr); }
  int GetLevel() const override { return base::NK_LOG_DEBUG; }
  void Write(int level, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(level, text);
  }
  // Lines of that level holding the fragment.
  int Count(int level, const std::string& fragment) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& line : lines_) {
      if (line.first == level && line.second.find(fragment) != std::string::npos) ++n;
    }
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<int, std::string>> lines_;
};

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace testing_util
}  // namespace norvak

#endif  // NORVAK_TESTS_IPC_SOCKET_TEST_UTIL_H_
