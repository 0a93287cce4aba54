// What an administrator waits for `norvak-monitor-ctl status` with a full
// suite: 500 components in 50 applications, against the same requests to a
// monitor of 5 components running beside it. Every request is a fresh
// norvak-monitor-ctl finding the address through --conf, as typed at a
// shell: the table, --json, and one application. The two monitors are asked
// in turn, so that both see the same machine load.
//
//   status-scale [REPETITIONS]     (default 50)

#include "monitor_bench_support.h"

using namespace norvak_bench;

namespace {

const char kCtl[] = NORVAK_BIN_DIR "/tools/norvak-monitor-ctl";

struct Figures {
  double median = 0;
  double p90 = 0;
};

Figures summarise(const std::vector<double>& v) {
  Figures f;
  f.median = median(v);
  f.p90 = percentile(v, 90);
  return f;
}

// A monitor of apps applications of perApp components c0, c1, ..., serving
// administrators on a Unix socket of its own run directory.
class StatusMonitor {
 public:
  StatusMonitor(int apps, int perApp) : comps_(apps * perApp) {
    inst_.writeWideSuite(apps, perApp, "0");
    std::string text = readFile(conf());
    const size_t at = text.find("\nAddress =\n");
    if (at == std::string::npos) fail("no Address line in the configuration");
    text.replace(at, 11, "\nAddress = local:" + inst_.runDir() + "mgmt.sock\n");
    writeFile(conf(), text);
    inst_.startMonitor();
    if (!inst_.waitLog("Norvak (R) Components Monitor started", 600000))
      fail("monitor did not start");
    for (int i = 0; i < comps_; ++i)
      if (inst_.waitHupFile("c" + std::to_string(i), 30000) <= 0)
        fail("c" + std::to_string(i) + " did not start");
  }

  std::string conf() const { return inst_.root() + "/monitor.conf"; }
  int components() const { return comps_; }

 private:
  Installation inst_;
  int comps_;
};

// Runs norvak-monitor-ctl --conf CONF ARGS...; answers the wall time in ms
// from fork to its exit, its standard output in out.
double timeCtl(const std::string& conf, const std::vector<std::string>& args, std::string& out) {
  std::vector<std::string> words = {kCtl, "--conf", conf};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  int fds[2];
  if (pipe(fds) != 0) fail("pipe");
  const double t0 = nowMs();
  const pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    dup2(fds[1], 1);
    syscall(SYS_close_range, 3u, ~0u, 0u);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  out.clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const double ms = nowMs() - t0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("norvak-monitor-ctl failed");
  return ms;
}

struct Request {
  const char* label;
  std::vector<std::string> big;    // arguments against the 500
  std::vector<std::string> small;  // the same request against the 5
  int bigComps, smallComps;        // components in the answers
  std::vector<double> bigMs, smallMs;
  size_t bigBytes = 0, smallBytes = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? atoi(argv[1]) : 50;
  if (reps <= 0) {
    fprintf(stderr, "usage: status-scale [REPETITIONS]\n");
    return 2;
  }
  const double t0 = nowMs();
  StatusMonitor big(50, 10);
  const double bigStartMs = nowMs() - t0;
  StatusMonitor small(1, 5);

  // The small monitor has one application: the one-application request asks
  // it for its five, the big one for ten.
  std::vector<Request> requests = {
      {"status (table)", {"status"}, {"status"}, 500, 5, {}, {}},
      {"--json status", {"--json", "status"}, {"--json", "status"}, 500, 5, {}, {}},
      {"status APP7", {"status", "APP7"}, {"status", "APP0"}, 10, 5, {}, {}},
  };

  // The answers must be whole before their times mean anything.
  std::string out;
  timeCtl(big.conf(), {"status"}, out);
  if (countOf(out, "running") < big.components() || out.find("c499") == std::string::npos)
    fail("the table does not show all 500 components running:\n" + out.substr(0, 2000));
  timeCtl(big.conf(), {"--json", "status"}, out);
  if (countOf(out, "\"state\":\"running\"") != big.components())
    fail("the JSON does not hold 500 running components");
  timeCtl(big.conf(), {"status", "APP7"}, out);
  if (out.find("c79") == std::string::npos || out.find("c80") != std::string::npos)
    fail("status APP7 does not show exactly APP7:\n" + out);

  for (int i = 0; i < reps; ++i) {
    for (Request& r : requests) {
      r.bigMs.push_back(timeCtl(big.conf(), r.big, out));
      r.bigBytes = out.size();
      r.smallMs.push_back(timeCtl(small.conf(), r.small, out));
      r.smallBytes = out.size();
    }
  }

  printf("monitor of %d components started in %.0f ms; %d requests of each kind\n",
         big.components(), bigStartMs, reps);
  printf("wall time of norvak-monitor-ctl, fork to exit (ms)\n");
  printf("  %-16s %9s %9s   %9s %9s   %7s %7s\n", "", "500 med", "500 p90", "5 med", "5 p90",
         "ratio", "p90 r.");
  for (const Request& r : requests) {
    const Figures b = summarise(r.bigMs);
    const Figures s = summarise(r.smallMs);
    printf("  %-16s %9.2f %9.2f   %9.2f %9.2f   %6.2fx %6.2fx\n", r.label, b.median, b.p90,
           s.median, s.p90, s.median > 0 ? b.median / s.median : 0.0,
           s.p90 > 0 ? b.p90 / s.p90 : 0.0);
  }
  printf("output size (bytes)\n");
  for (const Request& r : requests)
    printf("  %-16s %7zu (%3d components)   %6zu (%d components)\n", r.label, r.bigBytes,
           r.bigComps, r.smallBytes, r.smallComps);
  printf("  table bytes per component: %.1f\n",
         static_cast<double>(requests[0].bigBytes) / big.components());
  return 0;
}
