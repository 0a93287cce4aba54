// The monitor with many components:
//   1. start of 500 components in 50 applications, against 500 bare
//      fork + exec + answer of the same program;
//   2. idle cost of the monitor over 30 s with them running;
//   3. a soak of kill-and-restart cycles: descriptors, threads, RSS, zombies;
//   4. 3,000 components with the soft descriptor limit raised: start against
//      as many bare starts, the idle cost over the same time, and the restart
//      of a killed one.
//
//   monitor-scale [SOAK_CYCLES [IDLE_SECONDS]]     (defaults 2000 and 30)

#include <sys/resource.h>

#include "monitor_bench_support.h"

using namespace norvak_bench;

namespace {

// apps applications of perApp components each; every application depends on
// the first, as the suite's do on the agent.
std::vector<Installation::App> suite(int apps, int perApp, std::string& runList) {
  std::vector<Installation::App> out;
  runList.clear();
  for (int a = 0; a < apps; ++a) {
    Installation::App app;
    app.name = "APP" + std::to_string(a);
    if (a > 0) app.deps = "APP0";
    for (int c = 0; c < perApp; ++c) app.comps.push_back("c" + std::to_string(a * perApp + c));
    runList += (a ? ", " : "") + app.name;
    out.push_back(app);
  }
  return out;
}

void printFigures(const char* when, const ProcFigures& f) {
  printf("  %-22s fds %5d  threads %3d  RSS %7.1f MiB  zombies %d\n", when, f.fds, f.threads,
         f.rssKiB / 1024.0, f.zombieChildren);
}

// Starts the monitor on the suite; answers the time to "started" in ms.
double startSuite(Installation& inst, int apps, int perApp) {
  std::string runList;
  inst.writeMeta(suite(apps, perApp, runList));
  inst.writeConf(runList, "0");
  const double t0 = nowMs();
  inst.startMonitor();
  if (!inst.waitLog("Norvak (R) Components Monitor started", 600000)) fail("monitor did not start");
  return nowMs() - t0;
}

// n bare starts of the components' program; the times in ms.
std::vector<double> bareStarts(const std::string& root, int n) {
  mkdir((root + "/bare").c_str(), 0755);
  const std::vector<std::string> args = {"--hup-dir=" + root + "/bare"};
  std::vector<double> times;
  for (int i = 0; i < n; ++i) times.push_back(bareStartMs(root + "/bin/c0", args));
  return times;
}

double sum(const std::vector<double>& v) {
  double total = 0;
  for (double x : v) total += x;
  return total;
}

// Kills component c<index> and waits for its new process; ms, or < 0.
double killAndWait(Installation& inst, std::vector<pid_t>& pids, int index, int perApp) {
  const std::string comp = "c" + std::to_string(index);
  const std::string answered = "component \"" + comp + "\" from application \"APP" +
                               std::to_string(index / perApp) + "\" has been started";
  inst.skipLog();
  const double t0 = nowMs();
  if (kill(pids[index], SIGKILL) != 0) return -1;
  if (!inst.waitLog(answered, 60000)) return -1;
  const double ms = nowMs() - t0;
  pid_t pid = inst.waitHupFile(comp, 10000);
  if (pid <= 0) return -1;
  pids[index] = pid;
  return ms;
}

std::vector<pid_t> collectPids(Installation& inst, int n) {
  std::vector<pid_t> pids(n, -1);
  for (int i = 0; i < n; ++i) {
    pids[i] = inst.waitHupFile("c" + std::to_string(i), 10000);
    if (pids[i] <= 0) fail("no pid for c" + std::to_string(i));
  }
  return pids;
}

}  // namespace

int main(int argc, char** argv) {
  const int soakCycles = argc > 1 ? atoi(argv[1]) : 2000;
  const int idleSec = argc > 2 ? atoi(argv[2]) : 30;
  const int kApps = 50, kPerApp = 10, kComps = kApps * kPerApp;

  {
    Installation inst;
    const double monitorMs = startSuite(inst, kApps, kPerApp);
    std::vector<pid_t> pids = collectPids(inst, kComps);
    const double bareMs = sum(bareStarts(inst.root(), kComps));
    printf("start of %d components in %d applications\n", kComps, kApps);
    printf("  monitor: %9.1f ms (%.3f ms each)\n", monitorMs, monitorMs / kComps);
    printf("  bare:    %9.1f ms (%.3f ms each)\n", bareMs, bareMs / kComps);
    printf("  ratio:   %.2fx (target within 1.2x)\n", monitorMs / bareMs);

    const pid_t mon = inst.monitorPid();
    const ProcFigures before = figuresOf(mon);
    struct timespec idle = {idleSec, 0};
    while (nanosleep(&idle, &idle) != 0 && errno == EINTR) {
    }
    const ProcFigures after = figuresOf(mon);
    printf("idle for %d s with %d components\n", idleSec, kComps);
    printf("  CPU %.3f s (target < 0.01 s)   RSS %.1f MiB (target < 16 MiB)\n",
           after.cpuSec - before.cpuSec, after.rssKiB / 1024.0);

    printf("soak: %d kill-and-restart cycles\n", soakCycles);
    printFigures("before", figuresOf(mon));
    std::vector<double> times;
    std::vector<double> bare;
    for (int i = 0; i < soakCycles; ++i) {
      const double ms = killAndWait(inst, pids, (i * 7) % kComps, kPerApp);
      if (ms < 0) fail("cycle " + std::to_string(i) + " did not restart");
      times.push_back(ms);
      // Every tenth cycle a bare start under the same load, for comparison.
      if (i % 10 == 0) {
        std::vector<double> one = bareStarts(inst.root(), 1);
        bare.push_back(one[0]);
      }
      if (i + 1 == 100) printFigures("after 100 cycles", figuresOf(mon));
    }
    printFigures("at the end", figuresOf(mon));
    printf("  restart median %.3f ms, slowest %.3f ms; bare start median %.3f ms\n", median(times),
           times.empty() ? 0.0 : *std::max_element(times.begin(), times.end()), median(bare));
  }

  {
    const int kBigApps = 300, kBig = kBigApps * kPerApp;
    struct rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    const rlim_t want = kBig + 1024;
    if (lim.rlim_cur < want) {
      lim.rlim_cur = lim.rlim_max == RLIM_INFINITY || lim.rlim_max >= want ? want : lim.rlim_max;
      if (setrlimit(RLIMIT_NOFILE, &lim) != 0) fail("setrlimit");
    }
    printf("%d components, soft descriptor limit %llu\n", kBig,
           static_cast<unsigned long long>(lim.rlim_cur));
    Installation inst;
    const double ms = startSuite(inst, kBigApps, kPerApp);
    std::vector<pid_t> pids = collectPids(inst, kBig);
    printf("  start %.1f ms (%.3f ms each)\n", ms, ms / kBig);
    const double bareAll = sum(bareStarts(inst.root(), kBig));
    printf("  bare:  %.1f ms for %d fork+exec+answer; ratio %.2fx (target within 1.2x)\n", bareAll,
           kBig, ms / bareAll);
    const ProcFigures before = figuresOf(inst.monitorPid());
    struct timespec idle = {idleSec, 0};
    while (nanosleep(&idle, &idle) != 0 && errno == EINTR) {
    }
    const ProcFigures after = figuresOf(inst.monitorPid());
    printf("  idle for %d s: CPU %.3f s (target < 0.01 s)\n", idleSec, after.cpuSec - before.cpuSec);
    const std::vector<double> bare = bareStarts(inst.root(), 200);
    printf("  bare start with them running: median %.3f ms\n", median(bare));
    const double restart = killAndWait(inst, pids, kBig - 1, kPerApp);
    if (restart < 0) fail("the killed component was not restarted");
    printf("  restart of a killed one %.3f ms\n", restart);
    printFigures("monitor", figuresOf(inst.monitorPid()));
  }
  return 0;
}
