// Request/reply throughput of a client session on one persistent Unix-socket
// connection to a server session, against a bare ping-pong of the same bytes
// over a raw Unix socket pair in the same run.
//
//   ipc-exchange [exchanges]   (default 20000)

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ipc/nk_client_protocol.h"
#include "ipc/nk_client_session.h"
#include "ipc/nk_conn_settings.h"
#include "ipc/nk_ddp_unit.h"
#include "ipc/nk_deadline.h"
#include "ipc/nk_exception.h"
#include "ipc/nk_persistent_client_pool_manager.h"
#include "ipc/nk_persistent_server_pool_manager.h"
#include "ipc/nk_server_protocol.h"
#include "ipc/nk_server_session.h"

namespace {

using norvak::base::NkDeadline;
using norvak::base::NkTimeout;
using norvak::ipc::ConnSettings;
using norvak::ipc::NkDdpUnit;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kProtocolId = 8195;

class EchoServer : public norvak::ipc::NkServerProtocol {
 public:
  std::unique_ptr<NkDdpUnit> CreateUnit() override { return std::make_unique<NkDdpUnit>(); }
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return kProtocolId; }
  bool Process(NkDdpUnit& request, NkDdpUnit& reply) override {
    return reply.AddInt32(request.GetInt32() + 1);
  }
};

class EchoClient : public norvak::ipc::NkClientProtocol {
 public:
  std::unique_ptr<NkDdpUnit> CreateUnit() override { return std::make_unique<NkDdpUnit>(); }
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return kProtocolId; }
  bool MakeRequest(NkDdpUnit& request) override { return request.AddInt32(value); }
  bool ProcessReply(NkDdpUnit& reply) override {
    result = reply.GetInt32();
    return true;
  }
  int32_t value = 0;
  int32_t result = 0;
};

struct Figures {
  double rate = 0;
  double median_us = 0;
  double p99_us = 0;
  double switches = 0;  // voluntary context switches of the process per exchange
  double cpu_us = 0;    // processor time of the process per exchange
};

long VoluntarySwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw;
}

// User and system time of the whole process, in microseconds.
double CpuMicros() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
         usage.ru_stime.tv_usec;
}

Figures Summarise(std::vector<double>& latencies_us, double seconds) {
  std::sort(latencies_us.begin(), latencies_us.end());
  Figures f;
  f.rate = static_cast<double>(latencies_us.size()) / seconds;
  f.median_us = latencies_us[latencies_us.size() / 2];
  f.p99_us = latencies_us[latencies_us.size() * 99 / 100];
  return f;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, char* data, size_t size) {
  while (size > 0) {
    ssize_t n = read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The same bytes as one session exchange: identifier and value out, the
// answer back.
Figures RawPingPong(int count) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
    std::perror("socketpair");
    std::exit(1);
  }
  std::thread echo([fd = fds[1]] {
    char request[8];
    while (ReadAll(fd, request, sizeof(request))) {
      uint32_t value;
      std::memcpy(&value, request + 4, 4);
      value = htonl(ntohl(value) + 1);
      if (!WriteAll(fd, reinterpret_cast<char*>(&value), 4)) break;
    }
  });
  std::vector<double> latencies;
  latencies.reserve(static_cast<size_t>(count));
  const uint32_t id = htonl(kProtocolId);
  const long switches = VoluntarySwitches();
  const double cpu = CpuMicros();
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto begin = Clock::now();
    char request[8];
    const uint32_t value = htonl(static_cast<uint32_t>(i));
    std::memcpy(request, &id, 4);
    std::memcpy(request + 4, &value, 4);
    char reply[4];
    if (!WriteAll(fds[0], request, sizeof(request)) || !ReadAll(fds[0], reply, sizeof(reply))) {
      std::fprintf(stderr, "raw ping-pong failed\n");
      std::exit(1);
    }
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const long switched = VoluntarySwitches() - switches;
  close(fds[0]);
  echo.join();
  close(fds[1]);
  Figures figures = Summarise(latencies, seconds);
  figures.switches = static_cast<double>(switched) / count;
  figures.cpu_us = (CpuMicros() - cpu) / count;
  return figures;
}

Figures SessionExchanges(const std::string& address, int count) {
  EchoServer echo;
  auto server_pool = std::make_shared<norvak::ipc::NkPersistentServerPoolManager>(ConnSettings(0));
  norvak::ipc::NkServerSession server(server_pool);
  server.Register(&echo);
  server.Open(address);
  std::atomic<bool> stop{false};
  std::thread serving([&] {
    while (!stop) {
      try {
        server.Execute(nullptr, NkDeadline());
      } catch (const std::exception&) {
      }
    }
  });

  Figures figures;
  {
    norvak::ipc::NkClientSession client(
        std::make_shared<norvak::ipc::NkPersistentClientPoolManager>(ConnSettings(1)));
    client.Open(address);
    EchoClient request;
    const NkDeadline deadline(NkTimeout::Seconds(60));
    for (int i = 0; i < 500; ++i) client.Execute(&request, deadline);  // warm-up

    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(count));
    const long switches = VoluntarySwitches();
    const double cpu = CpuMicros();
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
      const auto begin = Clock::now();
      request.value = i;
      if (!client.Execute(&request, deadline) || request.result != i + 1) {
        std::fprintf(stderr, "session exchange %d failed\n", i);
        std::exit(1);
      }
      latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long switched = VoluntarySwitches() - switches;
    figures = Summarise(latencies, seconds);
    figures.switches = static_cast<double>(switched) / count;
    figures.cpu_us = (CpuMicros() - cpu) / count;
  }
  stop = true;
  server.Close();
  serving.join();
  return figures;
}

void Print(const char* name, const Figures& f) {
  std::printf(
      "%-26s %8.0f exchanges/s  median %6.1f us  p99 %8.1f us  cpu %5.1f us  %3.1f switches\n",
      name, f.rate, f.median_us, f.p99_us, f.cpu_us, f.switches);
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
  if (count <= 0) {
    std::fprintf(stderr, "usage: ipc-exchange [exchanges]\n");
    return 2;
  }
  const char* base = std::getenv("TMPDIR");
  std::string dir = std::string(base && *base ? base : "/tmp") + "/ipc-exchange-XXXXXX";
  if (mkdtemp(&dir[0]) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string address = "local:" + dir + "/bench.sock";

  std::printf("%d request/reply exchanges of 8 bytes out, 4 back\n", count);
  const Figures raw = RawPingPong(count);
  const Figures session = SessionExchanges(address, count);
  Print("raw Unix socket pair", raw);
  Print("session, persistent pool", session);
  std::printf("ratio session/raw: %.2f (target >= 0.33)\n", session.rate / raw.rate);
  rmdir(dir.c_str());
  return 0;
}
