// ReloadComp against the real monitor:
//  - round trip from a client's first byte to the SIGHUP arriving at the
//    component, with the client in this process (the code norvak-monitor-ctl
//    runs) and with norvak-monitor-ctl started for every request;
//  - requests per second served to 8 parallel clients, each on its own
//    connection, fenced by an answered request at the end;
// beside the raw ping-pong over a Unix socket pair measured in the same run.
//
//   reload-comp [requests]   (default 1000)

#include <arpa/inet.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "ipc/nk_client_session.h"
#include "ipc/nk_conn_settings.h"
#include "ipc/nk_deadline.h"
#include "ipc/nk_persistent_client_pool_manager.h"
#include "monitor_bench_support.h"
#include "protocols/nk_reload_comp_client.h"
#include "protocols/nk_update_client.h"

namespace {

using norvak_bench::fail;
using norvak_bench::nowMs;

const char kCtl[] = NORVAK_BIN_DIR "/tools/norvak-monitor-ctl";

struct Figures {
  double median = 0;
  double p99 = 0;
};

Figures summarise(const std::vector<double>& v) {
  Figures f;
  f.median = norvak_bench::median(v);
  f.p99 = norvak_bench::percentile(v, 99);
  return f;
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool readAll(int fd, char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The IPC benchmark's baseline: identifier and value out, four bytes back,
// over a socket pair to an echoing thread. Microseconds per exchange.
Figures rawPingPong(int count, double* perSecond) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) fail("socketpair");
  std::thread echo([fd = fds[1]] {
    char request[8];
    while (readAll(fd, request, sizeof(request))) {
      if (!writeAll(fd, request + 4, 4)) break;
    }
  });
  std::vector<double> us;
  const double start = nowMs();
  for (int i = 0; i < count; ++i) {
    const double t0 = nowMs();
    char request[8] = {0, 0, 0x20, 0x08, 0, 0, 0, static_cast<char>(i)};
    char reply[4];
    if (!writeAll(fds[0], request, 8) || !readAll(fds[0], reply, 4)) fail("raw ping-pong");
    us.push_back((nowMs() - t0) * 1000);
  }
  *perSecond = count / ((nowMs() - start) / 1000);
  close(fds[0]);
  echo.join();
  close(fds[1]);
  return summarise(us);
}

// Lines appended to the component's hup log, seen through inotify.
class HupWatch {
 public:
  explicit HupWatch(const std::string& path) : path_(path) {
    fd_ = inotify_init1(IN_CLOEXEC);
    if (fd_ < 0 || inotify_add_watch(fd_, path.c_str(), IN_MODIFY) < 0) fail("inotify " + path);
  }
  ~HupWatch() { close(fd_); }
  // Waits until the log holds n lines.
  void waitLines(size_t n) {
    const double deadline = nowMs() + 30000;
    while (lines() < n) {
      pollfd entry{fd_, POLLIN, 0};
      if (nowMs() > deadline) fail("no SIGHUP reached the component");
      if (poll(&entry, 1, 1000) > 0) {
        alignas(struct inotify_event) char buffer[4096];
        if (read(fd_, buffer, sizeof(buffer)) < 0 && errno != EINTR) fail("inotify read");
      }
    }
  }
  size_t lines() const {
    const std::string text = norvak_bench::readFile(path_);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  }

 private:
  std::string path_;
  int fd_ = -1;
};

std::unique_ptr<norvak::ipc::NkClientSession> client(const std::string& address) {
  auto session = std::make_unique<norvak::ipc::NkClientSession>(
      std::make_shared<norvak::ipc::NkPersistentClientPoolManager>(norvak::ipc::ConnSettings(1)));
  session->Open(address);
  return session;
}

const norvak::base::NkDeadline within30() {
  return norvak::base::NkDeadline(norvak::base::NkTimeout::Seconds(30));
}

int runCtl(const std::string& conf, pid_t pid) {
  const std::string pidText = std::to_string(pid);
  const pid_t child = fork();
  if (child < 0) fail("fork");
  if (child == 0) {
    execl(kCtl, kCtl, "--conf", conf.c_str(), "reload", pidText.c_str(), (char*)nullptr);
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  if (count <= 0) {
    fprintf(stderr, "usage: reload-comp [requests]\n");
    return 2;
  }
  norvak_bench::Installation inst;
  const std::string hupLog = inst.root() + "/smtpd.hups";
  norvak_bench::writeFile(hupLog, "");
  inst.writeMetaWithArgs({{"AGENT", "", {"agent"}}, {"MAILD", "AGENT", {"smtpd"}}},
                         {{"smtpd", "--hup-log=" + hupLog}});
  const std::string socket = inst.runDir() + "mgmt.sock";
  const std::string address = "local:" + socket;
  const std::string conf = inst.root() + "/monitor.conf";
  norvak_bench::writeFile(
      conf, "[Logging]\nFileName = " + inst.logFile() +
                "\nLevel = Info\nIPCLevel = Error\n[Monitor]\nRunForeground = yes\nPidFileDir = " +
                inst.runDir() + "\nMetaConfigDir = " + inst.root() +
                "/meta/\nAddress = " + address +
                "\nTimeout = 30\nInjectCmd = /bin/true\nAgentAddress = local:" + inst.runDir() +
                ".agent\nRunAppList = AGENT, MAILD\nRecoveryTimeList = 1\n");
  inst.startMonitor();
  if (!inst.waitLog("Norvak (R) Components Monitor started", 30000))
    fail("the monitor did not start");
  const pid_t smtpd = inst.waitHupFile("smtpd", 30000);
  if (smtpd <= 0) fail("smtpd did not start");

  double rawRate = 0;
  const Figures raw = rawPingPong(count * 20, &rawRate);

  // Round trip, client in this process: from Execute (the first byte) to the
  // component's record of the signal.
  HupWatch hups(hupLog);
  std::vector<double> inProcess;
  {
    auto session = client(address);
    norvak::maild::NkReloadCompClient request({static_cast<int32_t>(smtpd)});
    for (int i = 0; i < count; ++i) {
      const size_t before = hups.lines();
      const double t0 = nowMs();
      if (!session->Execute(&request, within30())) fail("ReloadComp refused");
      hups.waitLines(before + 1);
      inProcess.push_back((nowMs() - t0) * 1000);
    }
  }
  // The same with norvak-monitor-ctl started for each request.
  std::vector<double> withCtl;
  for (int i = 0; i < count; ++i) {
    const size_t before = hups.lines();
    const double t0 = nowMs();
    if (runCtl(conf, smtpd) != 0) fail("norvak-monitor-ctl failed");
    hups.waitLines(before + 1);
    withCtl.push_back((nowMs() - t0) * 1000);
  }

  // Throughput: 8 clients send their ReloadComp requests (no pid, so no
  // signal limits the rate) back to back on their own connections; an
  // Update behind them on each connection is answered only once they have
  // all been served.
  const int clients = 8;
  const int perClient = count * 10;
  std::atomic<int> failures{0};
  const double start = nowMs();
  {
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
      threads.emplace_back([&] {
        try {
          auto session = client(address);
          norvak::maild::NkReloadCompClient request;
          for (int i = 0; i < perClient; ++i) {
            if (!session->Execute(&request, within30())) ++failures;
          }
          norvak::maild::NkUpdateClient fence(inst.root() + "/no-package", "a", "p");
          if (!session->Execute(&fence, within30()) || fence.IsOk()) ++failures;
        } catch (const std::exception&) {
          ++failures;
        }
      });
    }
    for (std::thread& t : threads) t.join();
  }
  const double seconds = (nowMs() - start) / 1000;
  if (failures > 0) fail(std::to_string(failures.load()) + " requests failed");
  const double served = clients * (perClient + 1) / seconds;
  const norvak_bench::ProcFigures monitor = norvak_bench::figuresOf(inst.monitorPid());

  const Figures a = summarise(inProcess);
  const Figures b = summarise(withCtl);
  printf("ReloadComp round trip to the SIGHUP at the component, %d requests\n", count);
  printf("  client's first byte -> SIGHUP     median %8.1f us   p99 %8.1f us\n", a.median, a.p99);
  printf("  norvak-monitor-ctl run -> SIGHUP  median %8.1f us   p99 %8.1f us\n", b.median, b.p99);
  printf("  raw socket-pair ping-pong         median %8.1f us   p99 %8.1f us\n", raw.median,
         raw.p99);
  printf("  ratio first byte -> SIGHUP / raw ping-pong (median): %.1f\n", a.median / raw.median);
  printf("Served from %d parallel clients: %.0f requests/s (%d each)\n", clients, served,
         perClient + 1);
  printf("  raw socket-pair ping-pong, one client: %.0f exchanges/s\n", rawRate);
  printf("  ratio served / raw: %.2f\n", served / rawRate);
  printf("Monitor afterwards: %d threads, %d descriptors, %ld KiB resident\n", monitor.threads,
         monitor.fds, monitor.rssKiB);
  return 0;
}
