// Check mode on a deep dependency chain: "norvak-monitor --check-only" on N
// applications where each depends on the next, against the same N
// applications without dependencies in the same run. Wall time and peak RSS
// of the monitor process (wait4's ru_maxrss), and the chain's ratio to the
// flat set: what the depth alone costs.
//
//   chain-check [N...]     (defaults 2000 5000 8000)

#include <sys/resource.h>

#include "monitor_bench_support.h"

using namespace norvak_bench;

namespace {

struct RunFigures {
  double ms = 0;
  long maxRssKiB = 0;
};

// C0 depends on C1, C1 on C2, ... (chained); or the same names standing
// alone. The run list names C0 only either way.
std::vector<Installation::App> applications(int n, bool chained) {
  std::vector<Installation::App> apps;
  for (int i = 0; i < n; ++i) {
    Installation::App app;
    app.name = "C" + std::to_string(i);
    if (chained && i + 1 < n) app.deps = "C" + std::to_string(i + 1);
    app.comps.push_back("c" + std::to_string(i));
    apps.push_back(app);
  }
  return apps;
}

// One check-mode run to its end; fails the bench unless it says "Options OK".
RunFigures checkOnly(Installation& inst) {
  const std::string conf = inst.root() + "/monitor.conf";
  const std::string out = inst.root() + "/check.out";
  const double t0 = nowMs();
  const pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) execMonitor(out, {"--check-only", "--conf", conf.c_str()});
  int status = 0;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) fail("wait4");
  }
  RunFigures r;
  r.ms = nowMs() - t0;
  r.maxRssKiB = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      readFile(out).find("Options OK") == std::string::npos)
    fail("check mode failed: " + readFile(out));
  return r;
}

RunFigures measure(int n, bool chained) {
  Installation inst;
  inst.writeMeta(applications(n, chained));
  inst.writeConf("C0", "1");
  // A check run counts every key left to its default as a fault; the shared
  // configuration may leave out two that the supervision benches never miss.
  // A key given twice would join both values, so only missing ones are added.
  const std::string conf = inst.root() + "/monitor.conf";
  std::string text = readFile(conf);
  if (text.find("\nSyslogFacility =") == std::string::npos)
    text += "[Logging]\nSyslogFacility = daemon\n";
  if (text.find("\nTimeout =") == std::string::npos) text += "[Monitor]\nTimeout = 30\n";
  writeFile(conf, text);
  return checkOnly(inst);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(atoi(argv[i]));
  if (sizes.empty()) sizes = {2000, 5000, 8000};

  printf("--check-only on a chain of N applications, against N without dependencies\n");
  printf("  %6s  %12s %12s  %12s %12s  %8s %8s\n", "N", "chain ms", "chain RSS", "flat ms",
         "flat RSS", "time x", "RSS x");
  for (int n : sizes) {
    if (n < 1) fail("N must be positive");
    const RunFigures flat = measure(n, false);
    const RunFigures chain = measure(n, true);
    printf("  %6d  %12.1f %8.1f MiB  %12.1f %8.1f MiB  %8.2f %8.2f\n", n, chain.ms,
           chain.maxRssKiB / 1024.0, flat.ms, flat.maxRssKiB / 1024.0, chain.ms / flat.ms,
           static_cast<double>(chain.maxRssKiB) / static_cast<double>(flat.maxRssKiB));
    fflush(stdout);
  }
  return 0;
}
