// Health checks at scale and the time they take to find a stopped program:
//   1. the monitor's CPU over a period with N components, each TCP-checked
//      every second, against the same suite without checks in the same run;
//   2. the time from SIGSTOP to the restarted process, with a TCP check of
//      INTERVAL 1 TIMEOUT 1 RETRIES 3 and with a WATCHDOG of 3 s, the
//      restart delay 0.
//
//   health-checks [COMPONENTS [SECONDS]]     (defaults 500 and 60)

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include "monitor_bench_support.h"

using namespace norvak_bench;

namespace {

const int kPerApp = 10;

std::vector<Installation::App> suite(int comps, std::string& runList) {
  std::vector<Installation::App> out;
  runList.clear();
  for (int a = 0; a * kPerApp < comps; ++a) {
    Installation::App app;
    app.name = "APP" + std::to_string(a);
    for (int c = a * kPerApp; c < std::min(comps, (a + 1) * kPerApp); ++c)
      app.comps.push_back("c" + std::to_string(c));
    runList += (a ? ", " : "") + app.name;
    out.push_back(app);
  }
  return out;
}

bool portFree(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool free = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return free;
}

std::vector<int> freePorts(int n) {
  std::vector<int> ports;
  for (int port = 30000; port < 60000 && static_cast<int>(ports.size()) < n; ++port)
    if (portFree(port)) ports.push_back(port);
  if (static_cast<int>(ports.size()) < n) fail("not enough free ports");
  return ports;
}

// Writes the suite; with checks, every component listens on its port and
// health lines (given per component) go into its application's block.
void writeSuite(Installation& inst, int comps, const std::map<std::string, std::string>& args,
                const std::map<std::string, std::string>& health, std::string& runList) {
  const std::vector<Installation::App> apps = suite(comps, runList);
  inst.writeMetaWithArgs(apps, args);
  const std::string path = inst.root() + "/meta/bench.mmc";
  std::string text = readFile(path);
  for (const Installation::App& app : apps) {
    std::string lines;
    for (const std::string& c : app.comps) {
      auto it = health.find(c);
      if (it != health.end()) lines += "  " + it->second + "\n";
    }
    const size_t block = text.find("APPLICATION " + app.name + "\n");
    const size_t end = text.find("ENDAPPLICATION", block);
    text.insert(end, lines);
  }
  writeFile(path, text);
}

double idleCpu(int comps, int seconds, bool checks) {
  Installation inst;
  std::map<std::string, std::string> args, health;
  if (checks) {
    const std::vector<int> ports = freePorts(comps);
    for (int i = 0; i < comps; ++i) {
      const std::string c = "c" + std::to_string(i), port = std::to_string(ports[i]);
      args[c] = "--listen=" + port;
      health[c] = "HEALTH " + c + " TCP 127.0.0.1:" + port + " INTERVAL 1 TIMEOUT 1 RETRIES 3";
    }
  }
  std::string runList;
  writeSuite(inst, comps, args, health, runList);
  inst.writeConf(runList, "0");
  inst.startMonitor();
  if (!inst.waitLog("Norvak (R) Components Monitor started", 600000)) fail("monitor did not start");
  // Every check has begun before the measured period.
  struct timespec settle = {3, 0};
  nanosleep(&settle, nullptr);
  const ProcFigures before = figuresOf(inst.monitorPid());
  struct timespec idle = {seconds, 0};
  while (nanosleep(&idle, &idle) != 0 && errno == EINTR) {
  }
  const ProcFigures after = figuresOf(inst.monitorPid());
  const int failed = inst.countInLog("health check ");
  if (failed > 0) printf("  (%d check failures logged)\n", failed);
  inst.stopMonitor();
  return after.cpuSec - before.cpuSec;
}

// SIGSTOP to the one component; ms until its restart holds a hup file.
double stopToRestart(const std::string& args, const std::string& healthLine) {
  Installation inst;
  std::string runList;
  writeSuite(inst, 1, {{"c0", args}}, {{"c0", healthLine}}, runList);
  inst.writeConf(runList, "0");
  inst.startMonitor();
  if (!inst.waitLog("Norvak (R) Components Monitor started", 60000)) fail("monitor did not start");
  const pid_t first = inst.waitHupFile("c0", 10000);
  if (first <= 0) fail("no component");
  struct timespec settle = {2, 0};
  nanosleep(&settle, nullptr);
  const double t0 = nowMs();
  kill(first, SIGSTOP);
  const pid_t second = inst.waitHupFile("c0", 60000);
  const double took = nowMs() - t0;
  inst.stopMonitor();
  if (second <= 0 || second == first) fail("not restarted");
  return took;
}

}  // namespace

int main(int argc, char** argv) {
  const int comps = argc > 1 ? atoi(argv[1]) : 500;
  const int seconds = argc > 2 ? atoi(argv[2]) : 60;
  struct rlimit files;
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);

  printf("monitor CPU over %d s with %d components\n", seconds, comps);
  const double plain = idleCpu(comps, seconds, false);
  printf("  without checks (baseline)          %.3f s\n", plain);
  const double checked = idleCpu(comps, seconds, true);
  printf("  each TCP-checked every second      %.3f s  (%.0f checks, %.1f us CPU per check,"
         " %.2f%% of one core)\n",
         checked, double(comps) * seconds, (checked - plain) * 1e6 / (double(comps) * seconds),
         100.0 * checked / seconds);
  if (plain >= 0.01)
    printf("  ratio checked / baseline           %.1f\n", checked / plain);
  else
    printf("  ratio checked / baseline           n/a (baseline under the 10 ms clock tick)\n");

  const int port = freePorts(1)[0];
  const double tcp = stopToRestart(
      "--listen=" + std::to_string(port),
      "HEALTH c0 TCP 127.0.0.1:" + std::to_string(port) + " INTERVAL 1 TIMEOUT 1 RETRIES 3");
  printf("SIGSTOP to restart, TCP check INTERVAL 1 TIMEOUT 1 RETRIES 3: %.0f ms\n", tcp);
  const double watchdog = stopToRestart("--notify-watchdog=200", "WATCHDOG c0 3");
  printf("SIGSTOP to restart, WATCHDOG 3 (fed every 200 ms):          %.0f ms\n", watchdog);
  return 0;
}
