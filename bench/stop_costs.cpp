// What stops cost the rest of the suite, against figures of the same run:
//   1. the restart of a killed component (recovery time list "0"), alone and
//      while a reload that dropped another application waits 5 s for that
//      application's component, which ignores SIGTERM, to be killed;
//   2. the monitor's stop with 20 applications whose components ignore
//      SIGTERM (stop time 3 s each), against one such stop.
// A monitor that stops one application at a time inside its loop makes the
// restart wait for the stop, and the 20 stops take 20 stop times.
//
//   stop-costs [KILLS]      (default 5)

#include "monitor_bench_support.h"

using namespace norvak_bench;

namespace {

const char kStarted[] = "Norvak (R) Components Monitor started";

double restartMs(Installation& inst, pid_t& victim) {
  inst.skipLog();
  const double t0 = nowMs();
  if (kill(victim, SIGKILL) != 0) fail("kill victim");
  if (!inst.waitLog("component \"victim\" from application \"VICTIM\" has been started", 60000))
    fail("victim not restarted");
  const double took = nowMs() - t0;
  victim = inst.waitHupFile("victim", 10000);
  if (victim <= 0) fail("no new victim pid");
  return took;
}

// The monitor's stop with `apps` applications of one component ignoring
// SIGTERM; ms from SIGTERM to its end.
double suiteStopMs(int apps) {
  Installation inst;
  std::vector<Installation::App> suite = {{"AGENT", "", {"agent"}}};
  std::map<std::string, std::string> args;
  std::string runList = "AGENT";
  for (int i = 0; i < apps; ++i) {
    const std::string comp = "deaf" + std::to_string(i);
    suite.push_back({"DEAF" + std::to_string(i), "AGENT", {comp}, 3});
    args[comp] = "--term=ignore";
    runList += ", DEAF" + std::to_string(i);
  }
  inst.writeMetaWithArgs(suite, args);
  inst.writeConf(runList, "0");
  inst.startMonitor();
  if (!inst.waitLog(kStarted, 60000)) fail("monitor did not start");
  const double t0 = nowMs();
  inst.stopMonitor();
  return nowMs() - t0;
}

}  // namespace

int main(int argc, char** argv) {
  const int kills = argc > 1 ? atoi(argv[1]) : 5;
  {
    Installation inst;
    const std::vector<Installation::App> suite = {{"AGENT", "", {"agent"}},
                                                  {"DEAF", "AGENT", {"deaf"}, 5},
                                                  {"VICTIM", "AGENT", {"victim"}}};
    inst.writeMetaWithArgs(suite, {{"deaf", "--term=ignore"}});
    inst.writeConf("AGENT, DEAF, VICTIM", "0");
    inst.startMonitor();
    if (!inst.waitLog(kStarted, 30000)) fail("monitor did not start");
    pid_t victim = inst.waitHupFile("victim", 10000);
    if (victim <= 0) fail("no victim");

    std::vector<double> alone;
    for (int i = 0; i < kills; ++i) alone.push_back(restartMs(inst, victim));

    std::vector<double> beside;
    for (int i = 0; i < kills; ++i) {
      // DEAF dropped by a reload: its stop waits 5 s for the kill.
      inst.writeMeta({suite[0], suite[2]});
      inst.writeConf("AGENT, VICTIM", "0");
      inst.skipLog();
      kill(inst.monitorPid(), SIGHUP);
      if (!inst.waitLog("oldApps: DEAF", 10000)) fail("the reload did not drop DEAF");
      beside.push_back(restartMs(inst, victim));
      if (!inst.waitLog("application \"DEAF\" has been stopped", 30000)) fail("DEAF not stopped");
      // DEAF back for the next round.
      inst.writeMetaWithArgs(suite, {{"deaf", "--term=ignore"}});
      inst.writeConf("AGENT, DEAF, VICTIM", "0");
      inst.skipLog();
      kill(inst.monitorPid(), SIGHUP);
      if (!inst.waitLog("application \"DEAF\" has been started", 30000)) fail("DEAF not back");
    }
    const double a = median(alone);
    const double b = median(beside);
    printf("restart of a killed component (median of %d)\n", kills);
    printf("  alone:                                   %9.3f ms\n", a);
    printf("  while a dropped application's stop waits: %9.3f ms\n", b);
    printf("  ratio: %.2fx (target 1.0; a stop inside the loop would add up to 5000 ms)\n",
           a > 0 ? b / a : 0.0);
  }
  {
    const double one = suiteStopMs(1);
    const double twenty = suiteStopMs(20);
    printf("monitor's stop, components ignoring SIGTERM (stop time 3 s)\n");
    printf("  1 application:   %9.1f ms\n", one);
    printf("  20 applications: %9.1f ms (one after the other: about 60000 ms)\n", twenty);
    printf("  ratio: %.2fx (target 1.0)\n", one > 0 ? twenty / one : 0.0);
  }
  return 0;
}
