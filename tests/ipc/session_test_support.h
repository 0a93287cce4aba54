#ifndef NORVAK_TESTS_IPC_SESSION_TEST_SUPPORT_H_
#define NORVAK_TESTS_IPC_SESSION_TEST_SUPPORT_H_

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/nk_client_protocol.h"
#include "ipc/nk_client_session.h"
#include "ipc/nk_conn_settings.h"
#include "ipc/nk_ddp_unit.h"
#include "ipc/nk_deadline.h"
#include "ipc/nk_inet_socket_address.h"
#include "ipc/nk_ipc_factory.h"
#include "ipc/nk_log.h"
#include "ipc/nk_persistent_client_pool_manager.h"
#include "ipc/nk_persistent_server_pool_manager.h"
#include "ipc/nk_server_protocol.h"
#include "ipc/nk_server_session.h"
#include "ipc/nk_timeout.h"
#include "ipc/nk_unique_fd.h"
#include "ipc/nk_unix_socket.h"
#include "proc_util.h"
#include "temp_dir.h"
#include "wire_bytes.h"

namespace norvak {
namespace ipc {
namespace testing_support {

const base::NkTimeout kGenerous = base::NkTimeout::Milliseconds(10000);

// Two connected non-blocking sockets of a socketpair, wrapped as library
// sockets.
inline std::pair<std::shared_ptr<NkUnixSocket>, std::shared_ptr<NkUnixSocket>>
MakeSocketPair() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return {};
  auto a = std::make_shared<NkUnixSocket>();
  auto b = std::make_shared<NkUnixSocket>();
  a->SetHandle(fds[0]);
  b->SetHandle(fds[1]);
  a->ApplyOptions();
  b->ApplyOptions();
  a->SetConnected(true);
  b->SetConnected(true);
  return {a, b};
}

// Both ends of a socket pair as units: the test writes raw bytes through
// `peer`, the protocol reads through `request` and answers into `reply`, and
// a client reads that back through `answer`.
struct Wire {
  Wire() {
    auto pair = MakeSocketPair();
    near = pair.first;
    far = pair.second;
    for (NkDdpUnit* unit : {&request, &reply, &answer}) unit->SetConnection(far);
    peer.SetConnection(near);
    for (NkDdpUnit* unit : {&request, &reply, &answer, &peer})
      unit->SetDeadline(base::NkDeadline(base::NkTimeout::Seconds(10)));
  }
  void Send(const std::string& bytes) {
    peer.AddRaw(bytes);
    peer.Push();
  }
  // The bytes waiting for the peer right now.
  std::string Pending() {
    std::string got;
    char buffer[256];
    ssize_t n;
    while ((n = recv(near->GetHandle(), buffer, sizeof(buffer), MSG_DONTWAIT)) > 0)
      got.append(buffer, static_cast<size_t>(n));
    return got;
  }
  NkIfIPCPtr near, far;
  NkDdpUnit request, reply, answer, peer;
};

// Both ends of one connection over each transport the library offers.
enum class Transport { kSocketPair, kUnix, kTcp };

struct Connection {
  NkIfIPCPtr listener;
  NkIfIPCPtr near;
  NkIfIPCPtr far;
};

inline NkIfIPCPtr Listen(const std::string& address, int backlog = 8) {
  NkIfIPCPtr listener = CreateIPC(address, "");
  listener->SetServer(true);
  listener->Create();
  listener->Listen(backlog);
  return listener;
}

inline Connection Connect(Transport transport, const std::string& dir) {
  Connection c;
  if (transport == Transport::kSocketPair) {
    auto pair = MakeSocketPair();
    c.near = pair.first;
    c.far = pair.second;
    return c;
  }
  c.listener = Listen(transport == Transport::kUnix ? "local:" + dir + "/server.sock"
                                                    : "inet:0@127.0.0.1");
  NkIpcAddressPtr address = c.listener->GetLocalAddress();
  c.near = CreateIPC(NkIpcAddressPtr(), address);
  c.far = CreateIPC(address, NkIpcAddressPtr());
  if (!c.near->Connect(kGenerous) || !c.listener->Accept(kGenerous, c.far.get())) {
    throw std::runtime_error("no connection");
  }
  return c;
}

// A bare Unix-socket peer, for what the library itself never sends; or,
// with `bind_only`, a socket file left behind by a process that died.
class RawUnixSocket {
 public:
  explicit RawUnixSocket(const std::string& path, bool bind_only = false)
      : fd_(socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    auto raw = reinterpret_cast<sockaddr*>(&address);
    ok_ = (bind_only ? bind(fd(), raw, sizeof(address)) : connect(fd(), raw, sizeof(address))) == 0;
  }
  int fd() const { return fd_.get(); }
  bool ok() const { return ok_; }
  bool Send(const std::string& bytes) {
    return write(fd(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // Bytes until the other end closes (or `max` arrived).
  std::string ReadAll(size_t max = 64) {
    std::string got;
    char buffer[64];
    ssize_t n;
    while (got.size() < max && (n = read(fd(), buffer, sizeof(buffer))) > 0) {
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  base::UniqueFd fd_;
  bool ok_ = false;
};

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
  bool Contains(int level, const std::string& fragment) const { return Count(level, fragment) > 0; }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<int, std::string>> lines_;
};

// What the action threw, for tables of user-visible error texts.
inline std::string ErrorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Waits (generously) until `done` holds; tests never depend on speed.
template <typename Predicate>
bool Eventually(Predicate done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// What both ends of the test protocol have in common.
template <typename Base>
class AddOneProtocol : public Base {
 public:
  explicit AddOneProtocol(uint32_t id) : id_(id) {}
  std::unique_ptr<NkDdpUnit> CreateUnit() override { return std::make_unique<NkDdpUnit>(); }
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return id_; }

 private:
  uint32_t id_;
};

// Answers an integer with the integer plus one.
class AddOneServer : public AddOneProtocol<NkServerProtocol> {
 public:
  using AddOneProtocol::AddOneProtocol;
  bool Process(NkDdpUnit& request, NkDdpUnit& reply) override {
    const int32_t value = request.GetInt32();
    ++calls;
    return reply.AddInt32(value + 1);
  }
  std::atomic<int> calls{0};
};

class AddOneClient : public AddOneProtocol<NkClientProtocol> {
 public:
  AddOneClient(uint32_t id, int32_t value) : AddOneProtocol(id), value_(value) {}
  bool MakeRequest(NkDdpUnit& request) override { return request.AddInt32(value_); }
  bool ProcessReply(NkDdpUnit& reply) override {
    result = reply.GetInt32();
    return true;
  }
  int32_t result = 0;

 private:
  int32_t value_;
};

inline base::NkDeadline Within(uint32_t seconds) {
  return base::NkDeadline(base::NkTimeout::Seconds(seconds));
}

// One exchange with an AddOneServer: the answer, or -1 if Execute said no.
// Whatever Execute throws passes through.
inline int32_t AddOne(NkClientSession& client, int32_t value = 1, uint32_t id = 8200,
                      uint32_t seconds = 10) {
  AddOneClient request(id, value);
  return client.Execute(&request, Within(seconds)) ? request.result : -1;
}

// A TCP address nobody listens on right now (the kernel's pick).
inline std::string FreeTcpAddress() {
  NkIfIPCPtr probe = CreateIPC("inet:0@127.0.0.1", "");
  probe->SetServer(true);
  probe->Create();
  return "inet:" +
         std::to_string(std::static_pointer_cast<NkInetSocketAddress>(probe->GetLocalAddress())->GetPort()) +
         "@127.0.0.1";
}

// A server session on a persistent pool, served by `threads` threads until
// the object goes away. Given a protocol, it registers it and starts.
class Server {
 public:
  explicit Server(const std::string& address, int threads = 1,
                  const ConnSettings& settings = ConnSettings(0))
      : pool_(std::make_shared<NkPersistentServerPoolManager>(settings)),
        session_(pool_),
        address_(address),
        threads_count_(threads) {}
  Server(const std::string& address, NkServerProtocol* registered, int threads = 1,
         const ConnSettings& settings = ConnSettings(0))
      : Server(address, threads, settings) {
    session_.Register(registered);
    Start();
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
  int threads_count_;
  NkServerProtocol* given_ = nullptr;
  base::NkTimeout timeout_ = base::NkTimeout::Seconds(5);
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

inline std::shared_ptr<NkPersistentClientPoolManager> ClientPool(
    const ConnSettings& settings = ConnSettings(1)) {
  return std::make_shared<NkPersistentClientPoolManager>(settings);
}

// A Unix socket in a fresh directory.
class UnixSessionTest : public ::testing::Test {
 protected:
  std::string path() const { return dir_.path() + "/server.sock"; }
  std::string address() const { return "local:" + path(); }
  TempDir dir_;
};

}  // namespace testing_support
}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_TESTS_IPC_SESSION_TEST_SUPPORT_H_
