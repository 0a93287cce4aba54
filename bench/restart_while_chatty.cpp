// What a component that never stops talking costs the restart of another:
// from SIGKILL of the victim to its new process having answered the monitor
// (recovery time list "0"), KILLS times each while the chatter in another
// application is quiet, writes "y" lines without pause on its standard
// output after its answer, and the same on its standard error. The modes
// take turns in ROUNDS rounds, so that all see the same machine load; within
// a round the kills are spread over 3 s, so that they fall at every phase of
// the monitor's line limiter and read budget. Over each mode: the monitor's
// CPU time and the growth of its log, which the per-component limits (a
// burst of 100 lines a second, 256 KiB read per 100 ms) are there to keep
// small.
//
//   restart-while-chatty [KILLS [ROUNDS]]     (defaults 20 and 3)

#include "monitor_bench_support.h"

using namespace norvak_bench;

namespace {

const double kWindowMs = 3000;  // per mode and round

struct Mode {
  const char* label;
  const char* args;  // the chatter's extra arguments at its next start
  std::vector<double> restartMs;
  double cpuSec = 0;
  double wallSec = 0;
  double logBytes = 0;
  int chatterRecords = 0;  // its lines and counts of suppressed ones
};

off_t sizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

double cpuOf(pid_t pid) {
  char state;
  pid_t ppid;
  double cpu = 0;
  if (!statOf(pid, state, ppid, &cpu)) fail("the monitor is gone");
  return cpu;
}

void sleepMs(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int kills = argc > 1 ? atoi(argv[1]) : 20;
  const int rounds = argc > 2 ? atoi(argv[2]) : 3;
  if (kills <= 0 || rounds <= 0) {
    fprintf(stderr, "usage: restart-while-chatty [KILLS [ROUNDS]]\n");
    return 2;
  }
  Installation inst;
  // The chatter reads how to behave from a file at every start.
  const std::string chatArgs = inst.root() + "/chatter.args";
  inst.writeMetaWithArgs(
      {{"AGENT", "", {"agent"}}, {"CHAT", "AGENT", {"chatter"}}, {"VICTIM", "AGENT", {"victim"}}},
      {{"chatter", "--args-file=" + chatArgs}});
  inst.writeConf("AGENT, CHAT, VICTIM", "0");
  inst.startMonitor();
  if (!inst.waitLog("Norvak (R) Components Monitor started", 30000)) fail("monitor did not start");
  const pid_t monitor = inst.monitorPid();
  pid_t victim = inst.waitHupFile("victim", 10000);
  pid_t chatter = inst.waitHupFile("chatter", 10000);
  if (victim <= 0 || chatter <= 0) fail("components did not start");

  const std::string victimStarted =
      "component \"victim\" from application \"VICTIM\" has been started";
  const std::string chatterStarted =
      "component \"chatter\" from application \"CHAT\" has been started";
  const std::string chatterLine = "component \"chatter\": y";
  const std::string chatterRecord = "component \"chatter\": ";

  std::vector<Mode> modes = {{"quiet neighbour", "", {}},
                             {"neighbour floods stdout", "--flood-after-answer", {}},
                             {"neighbour floods stderr", "--flood-on-stderr", {}}};

  for (int round = 0; round < rounds; ++round) {
    for (Mode& mode : modes) {
      // The chatter is restarted into the mode and given time to fill its
      // pipe and the monitor's line limit.
      writeFile(chatArgs, std::string(mode.args) + "\n");
      inst.skipLog();
      inst.dropHupFiles();
      if (kill(chatter, SIGKILL) != 0) fail("kill chatter");
      if (!inst.waitLog(chatterStarted, 30000)) fail("chatter not restarted");
      chatter = inst.waitHupFile("chatter", 10000);
      if (chatter <= 0) fail("no new chatter pid");
      if (*mode.args && !inst.waitLog(chatterLine, 10000))
        fail(std::string("no output of the chatter logged: ") + mode.label);
      sleepMs(1500);

      const int records0 = inst.countInLog(chatterRecord);
      const off_t log0 = sizeOf(inst.logFile());
      const double cpu0 = cpuOf(monitor);
      const double wall0 = nowMs();
      for (int i = 0; i < kills; ++i) {
        const double due = wall0 + i * kWindowMs / kills;
        if (due > nowMs()) sleepMs(static_cast<long>(due - nowMs()));
        inst.skipLog();
        const double t0 = nowMs();
        if (kill(victim, SIGKILL) != 0) fail("kill victim");
        if (!inst.waitLog(victimStarted, 60000)) fail("victim not restarted");
        mode.restartMs.push_back(nowMs() - t0);
        victim = inst.waitHupFile("victim", 10000);
        if (victim <= 0) fail("no new victim pid");
      }
      const double left = kWindowMs - (nowMs() - wall0);
      if (left > 0) sleepMs(static_cast<long>(left));
      mode.cpuSec += cpuOf(monitor) - cpu0;
      mode.wallSec += (nowMs() - wall0) / 1000;
      mode.logBytes += static_cast<double>(sizeOf(inst.logFile()) - log0);
      mode.chatterRecords += inst.countInLog(chatterRecord) - records0;
    }
  }
  const Mode& quiet = modes[0];
  const double q = median(quiet.restartMs);
  printf("victim's restart after SIGKILL, %d kills x %d rounds per mode\n", kills, rounds);
  printf("  %-24s %9s %8s %8s %7s  %8s %7s %11s %10s\n", "", "median ms", "p90 ms", "max ms",
         "ratio", "mon. CPU", "CPU %", "log bytes/s", "chat rec/s");
  for (const Mode& m : modes) {
    const double med = median(m.restartMs);
    printf("  %-24s %9.3f %8.3f %8.3f %6.2fx  %7.3fs %6.1f%% %11.0f %10.1f\n", m.label, med,
           percentile(m.restartMs, 90), *std::max_element(m.restartMs.begin(), m.restartMs.end()),
           q > 0 ? med / q : 0.0, m.cpuSec, 100 * m.cpuSec / m.wallSec, m.logBytes / m.wallSec,
           m.chatterRecords / m.wallSec);
  }
  printf("  (CPU and log over %.1f / %.1f / %.1f s of measurement)\n", modes[0].wallSec,
         modes[1].wallSec, modes[2].wallSec);
  return 0;
}
