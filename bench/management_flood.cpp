// What strangers at the management server's TCP address cost root and the
// supervision: root's `norvak-monitor-ctl status` over the local socket,
// the log's growth, and the monitor's threads and descriptors, first with
// nobody knocking (the baseline), then while 1,000 idle connections and a
// flood of garbage frames run against the TCP address, then after.
//
//   management-flood [SECONDS]     (default 5: how long the flood is measured)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "monitor_bench_support.h"

using namespace norvak_bench;

namespace {

const char kCtl[] = NORVAK_BIN_DIR "/tools/norvak-monitor-ctl";

// A loopback port nobody listens on (for as long as nobody takes it).
int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
    fail("no free port");
  close(fd);
  return ntohs(a.sin_port);
}

int connectTo(int port, bool block) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (block ? 0 : SOCK_NONBLOCK), 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

// Median and worst of root's status, each a fresh client as typed at a shell.
std::pair<double, double> statusMs(const std::string& conf, int times) {
  std::vector<double> ms;
  for (int i = 0; i < times; ++i) {
    const double t0 = nowMs();
    if (system((std::string(kCtl) + " --conf " + conf + " status >/dev/null").c_str()) != 0)
      fail("status was not answered");
    ms.push_back(nowMs() - t0);
  }
  return {median(ms), *std::max_element(ms.begin(), ms.end())};
}

void report(const char* when, pid_t monitor, const std::string& conf) {
  const ProcFigures f = figuresOf(monitor);
  const auto status = statusMs(conf, 10);
  printf("%-8s threads %3d  descriptors %4d  status median %6.2f ms  max %6.2f ms\n", when,
         f.threads, f.fds, status.first, status.second);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? atoi(argv[1]) : 5;
  const int port = freePort();
  Installation inst;
  inst.writeMeta({{"APP", "", {"c0", "c1"}}});
  inst.writeConf("APP", "0", "Info");
  const std::string conf = inst.root() + "/monitor.conf";
  std::string text = readFile(conf);
  const size_t at = text.find("\nAddress =\n");
  if (at == std::string::npos) fail("no Address line in the configuration");
  text.replace(at, 11, "\nAddress = local:" + inst.runDir() + "mgmt.sock, inet:" +
                           std::to_string(port) + "@127.0.0.1\n");
  writeFile(conf, text);
  inst.startMonitor();
  if (!inst.waitLog("Norvak (R) Components Monitor started", 60000)) fail("monitor did not start");
  const pid_t monitor = inst.monitorPid();
  report("before", monitor, conf);

  std::vector<int> idle;
  for (int i = 0; i < 1000; ++i) {
    const int fd = connectTo(port, false);
    if (fd >= 0) idle.push_back(fd);
  }
  std::atomic<bool> stop{false};
  std::atomic<long> frames{0};
  std::vector<std::thread> flood;
  for (int t = 0; t < 2; ++t) {
    flood.emplace_back([&] {
      const char garbage[] = "\xde\xad\xbe\xef garbage frame";
      while (!stop) {
        const int fd = connectTo(port, true);
        if (fd < 0) continue;
        if (write(fd, garbage, sizeof garbage - 1) > 0) ++frames;
        close(fd);
      }
    });
  }
  const size_t logBefore = readFile(inst.logFile()).size();
  const double t0 = nowMs();
  report("during", monitor, conf);
  while (nowMs() - t0 < seconds * 1000.0) usleep(100 * 1000);
  const double grown = static_cast<double>(readFile(inst.logFile()).size() - logBefore);
  const double elapsed = (nowMs() - t0) / 1000;
  stop = true;
  for (std::thread& t : flood) t.join();
  for (int fd : idle) close(fd);
  printf("flood    %ld garbage frames in %.1f s, %zu idle connections; log grew %.0f bytes/s\n",
         frames.load(), elapsed, idle.size(), grown / elapsed);
  sleep(2);
  report("after", monitor, conf);
  return 0;
}
