// How long a dead component stays dead: from SIGKILL of the component to its
// new process having answered the monitor (recovery time list "0"), against a
// bare fork + exec + answer of the same program measured in the same run.
//
//   monitor-restart [KILLS]      (default 50)

#include "monitor_bench_support.h"

using namespace norvak_bench;

int main(int argc, char** argv) {
  const int kills = argc > 1 ? atoi(argv[1]) : 50;
  Installation inst;
  inst.writeMeta({{"AGENT", "", {"agent"}}, {"VICTIM", "AGENT", {"victim"}}});
  inst.writeConf("AGENT, VICTIM", "0");
  inst.startMonitor();
  if (!inst.waitLog("Norvak (R) Components Monitor started", 30000)) fail("monitor did not start");
  pid_t pid = inst.waitHupFile("victim", 10000);
  if (pid <= 0) fail("no victim");

  const std::string answered = "component \"victim\" from application \"VICTIM\" has been started";
  std::vector<double> restart;
  std::vector<double> bare;
  const std::vector<std::string> bareArgs = {"--hup-dir=" + inst.root() + "/bare"};
  mkdir((inst.root() + "/bare").c_str(), 0755);
  for (int i = 0; i < kills; ++i) {
    inst.skipLog();
    const double t0 = nowMs();
    if (kill(pid, SIGKILL) != 0) fail("kill");
    if (!inst.waitLog(answered, 30000)) fail("not restarted");
    restart.push_back(nowMs() - t0);
    pid = inst.waitHupFile("victim", 10000);
    if (pid <= 0) fail("no new pid");
    // Interleaved, so that both see the same machine load.
    bare.push_back(bareStartMs(inst.root() + "/bin/victim", bareArgs));
  }
  const double r = median(restart);
  const double b = median(bare);
  printf("restart after SIGKILL (monitor, median of %d): %8.3f ms\n", kills, r);
  printf("bare fork+exec+answer (median of %d):          %8.3f ms\n", kills, b);
  printf("ratio: %.2fx (target within 2x)\n", b > 0 ? r / b : 0.0);
  return 0;
}
