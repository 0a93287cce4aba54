// What one component's slow start costs another component's restart: from
// SIGKILL of component B to B's new process having answered the monitor
// (recovery time list "0"), KILLS times while nothing else goes on, then
// KILLS times while the restart of component A waits 5 s for A's answer.
// A monitor that advances every start on its own keeps the ratio at 1; one
// that waits for one answer at a time makes B wait for A.
//
//   restart-while-waiting [KILLS]      (default 5)

#include "monitor_bench_support.h"

using namespace norvak_bench;

namespace {

const char kSlowAnswerMs[] = "5000";

}  // namespace

int main(int argc, char** argv) {
  const int kills = argc > 1 ? atoi(argv[1]) : 5;
  Installation inst;
  // A reads its answer delay from a file at every start: the first start is
  // quick, the restarts are slow.
  const std::string slowArgs = inst.root() + "/slow.args";
  inst.writeMetaWithArgs({{"AGENT", "", {"agent"}}, {"SLOW", "AGENT", {"slow"}},
                          {"VICTIM", "AGENT", {"victim"}}},
                         {{"slow", "--args-file=" + slowArgs}});
  inst.writeConf("AGENT, SLOW, VICTIM", "0");
  inst.startMonitor();
  if (!inst.waitLog("Norvak (R) Components Monitor started", 30000)) fail("monitor did not start");
  pid_t victim = inst.waitHupFile("victim", 10000);
  pid_t slow = inst.waitHupFile("slow", 10000);
  if (victim <= 0 || slow <= 0) fail("components did not start");

  const std::string victimStarted =
      "component \"victim\" from application \"VICTIM\" has been started";
  const std::string slowStarted = "component \"slow\" from application \"SLOW\" has been started";

  // Kills B, answers the time until its new process has answered.
  auto restartVictim = [&]() {
    inst.skipLog();
    const double t0 = nowMs();
    if (kill(victim, SIGKILL) != 0) fail("kill victim");
    if (!inst.waitLog(victimStarted, 60000)) fail("victim not restarted");
    const double took = nowMs() - t0;
    victim = inst.waitHupFile("victim", 10000);
    if (victim <= 0) fail("no new victim pid");
    return took;
  };

  std::vector<double> alone;
  for (int i = 0; i < kills; ++i) alone.push_back(restartVictim());

  writeFile(slowArgs, std::string("--answer-delay=") + kSlowAnswerMs + "\n");
  std::vector<double> waiting;
  for (int i = 0; i < kills; ++i) {
    const int slowStarts = inst.countInLog(slowStarted);
    inst.dropHupFiles();
    if (kill(slow, SIGKILL) != 0) fail("kill slow");
    // Its new process exists and is now in its 5 s before the answer.
    slow = inst.waitHupFile("slow", 10000);
    if (slow <= 0) fail("slow not restarted");
    waiting.push_back(restartVictim());
    // The next round starts with A settled.
    const double deadline = nowMs() + 60000;
    while (inst.countInLog(slowStarted) <= slowStarts) {
      if (nowMs() > deadline) fail("slow never answered");
      struct timespec ts = {0, 20 * 1000000L};
      nanosleep(&ts, nullptr);
    }
  }

  const double a = median(alone);
  const double w = median(waiting);
  printf("B's restart, nothing else going on (median of %d):     %9.3f ms\n", kills, a);
  printf("B's restart while A's restart waits %s ms (median of %d): %9.3f ms\n", kSlowAnswerMs,
         kills, w);
  printf("ratio: %.2fx (target 1.0)\n", a > 0 ? w / a : 0.0);
  return 0;
}
