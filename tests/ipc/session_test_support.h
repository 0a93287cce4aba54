#ifndef NORVAK_TESTS_IPC_SESSION_TEST_SUPPORT_H_
#define NORVAK_TESTS_IPC_SESSION_TEST_SUPPORT_H_

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "nk_client_protocol.h"
#include "nk_client_session.h"
#include "nk_conn_settings.h"
#include "nk_ddp_unit.h"
#include "nk_deadline.h"
#include "nk_log.h"
#include "nk_persistent_client_pool_manager.h"
#include "nk_persistent_server_pool_manager.h"
#include "nk_server_protocol.h"
#include "nk_server_session.h"

namespace norvak {
namespace ipc {
namespace testing_support {

// Answers an integer with the integer plus one.
// Waits (generously) until `done` holds; tests never depend on speed.
template <typename Predicate>
bool Eventually(Predicate done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

class AddOneServer : public NkServerProtocol {
 public:
  explicit AddOneServer(uint32_t id) : id_(id) {}
  std::unique_ptr<NkDdpUnit> CreateUnit() override { return std::make_unique<NkDdpUnit>(); }
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return id_; }
  bool Process(NkDdpUnit& request, NkDdpUnit& reply) override {
    const int32_t value = request.GetInt32();
    ++calls;
    return reply.AddInt32(value + 1);
  }
  std::atomic<int> calls{0};

 private:
  uint32_t id_;
};

class AddOneClient : public NkClientProtocol {
 public:
  AddOneClient(uint32_t id, int32_t value) : id_(id), value_(value) {}
  std::unique_ptr<NkDdpUnit> CreateUnit() override { return std::make_unique<NkDdpUnit>(); }
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return id_; }
  bool MakeRequest(NkDdpUnit& request) override { return request.AddInt32(value_); }
  bool ProcessReply(NkDdpUnit& reply) override {
    result = reply.GetInt32();
    return true;
  }
  int32_t result = 0;

 private:
  uint32_t id_;
  int32_t value_;
};

// Keeps the library's messages so that tests can look for them.
class CapturingLog : public base::NkIfLog {
 public:
  CapturingLog() { base::NkSetLog(this); }
  ~CapturingLog() override { base::NkSetLog(nullptr); }
  int GetLevel() const override { return base::NK_LOG_DEBUG; }
  void Write(int level, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::to_string(level) + " " + text);
  }
  bool Contains(int level, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string prefix = std::to_string(level) + " ";
    for (const std::string& line : lines_) {
      if (line.compare(0, prefix.size(), prefix) == 0 && line.find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A TCP port nobody listens on right now (the kernel's pick).
inline int FreeTcpPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("no free port");
  }
  close(fd);
  return ntohs(address.sin_port);
}

inline std::string TcpAddress(int port) { return "inet:" + std::to_string(port) + "@127.0.0.1"; }

// A server session on a persistent pool, served by `threads` threads until
// the object goes away.
class Server {
 public:
  explicit Server(const std::string& address, int threads = 1,
                  const ConnSettings& settings = ConnSettings(0))
      : pool_(std::make_shared<NkPersistentServerPoolManager>(settings)), session_(pool_) {
    address_ = address;
    threads_count_ = threads;
  }
  ~Server() { Stop(); }

  NkServerSession& session() { return session_; }
  NkPersistentServerPoolManager& pool() { return *pool_; }

  void Start() {
    session_.Open(address_);
    for (int i = 0; i < threads_count_; ++i) {
      threads_.emplace_back([this] {
        while (!stop_) {
          try {
            session_.Execute(given_, base::NkDeadline(timeout_));
          } catch (const base::NkThreadCanceled&) {
            // Closed: the loop condition decides.
          } catch (const std::exception&) {
            ++failures;
          }
        }
      });
    }
  }
  void Stop() {
    if (stop_.exchange(true)) return;
    try {
      session_.Close();
    } catch (const std::exception&) {
    }
    for (std::thread& thread : threads_) thread.join();
  }
  // Serve this protocol only (not the peer's choice).
  void Serve(NkServerProtocol* protocol) { given_ = protocol; }
  void SetExchangeTimeout(const base::NkTimeout& timeout) { timeout_ = timeout; }

  std::atomic<int> failures{0};

 private:
  std::shared_ptr<NkPersistentServerPoolManager> pool_;
  NkServerSession session_;
  std::string address_;
  int threads_count_ = 1;
  NkServerProtocol* given_ = nullptr;
  base::NkTimeout timeout_ = base::NkTimeout::Seconds(5);
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

inline std::shared_ptr<NkPersistentClientPoolManager> ClientPool(
    const ConnSettings& settings = ConnSettings(1)) {
  return std::make_shared<NkPersistentClientPoolManager>(settings);
}

inline base::NkDeadline Within(uint32_t seconds) {
  return base::NkDeadline(base::NkTimeout::Seconds(seconds));
}

}  // namespace testing_support
}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_TESTS_IPC_SESSION_TEST_SUPPORT_H_
