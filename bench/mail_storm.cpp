// A failure storm with a slow mail command: COMPONENTS components of log type
// MAIL (default 200) are killed at once, ROUNDS times (default 4) four
// seconds apart, while the inject command takes 2 s a mail; each death and
// each restart asks for a mail. Prints the monitor's RSS and the mails
// waiting for delivery (handed to the delivery threads, not started yet)
// during the storm and ten seconds after it, against the same storm on
// BASELINE, another build's norvak-monitor, when one is given.
//
//   mail-storm [COMPONENTS [ROUNDS [BASELINE]]]

#include "monitor_bench_support.h"

using namespace norvak_bench;

namespace {

struct Figures {
  long rssStartKiB = 0;
  long rssPeakKiB = 0;
  long rssEndKiB = 0;
  int waitingPeak = -1;  // unknown when some were dropped
  int waitingEnd = 0;
  int handed = 0;
  int started = 0;
  int heldBack = 0;
  int dropped = 0;
};

int lines(const std::string& path) { return countOf(readFile(path), "\n"); }

// The sum of the counts the monitor logged as dropped.
int droppedIn(const std::string& log) {
  int n = 0;
  const std::string what = " notification(s) dropped";
  for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
    n += atoi(log.c_str() + log.rfind(' ', at - 1) + 1);
  return n;
}

Figures storm(const std::string& binary, int comps, int rounds, const std::string& mailsPerMinute) {
  Installation inst;
  Installation::App app{"STORM", "", {}};
  for (int c = 0; c < comps; ++c) app.comps.push_back("c" + std::to_string(c));
  inst.writeMeta({app}, "MAIL");
  inst.writeConf("STORM", "1", "Debug");
  const std::string started = inst.root() + "/started";
  const std::string inject = inst.root() + "/inject";
  writeFile(inject, "echo >> " + started + "\nsleep 2\ncat > /dev/null\n");
  writeFile(started, "");
  std::string conf = readFile(inst.root() + "/monitor.conf");
  const std::string from = "InjectCmd = /bin/true\n";
  conf.replace(conf.find(from), from.size(),
               "InjectCmd = /bin/sh " + inject + "\n" +
                   (mailsPerMinute.empty() ? "" : "MailsPerMinute = " + mailsPerMinute + "\n"));
  writeFile(inst.root() + "/monitor.conf", conf);
  inst.startMonitor(binary);
  if (!inst.waitLog("Norvak (R) Components Monitor started", 600000)) fail("monitor did not start");

  Figures f;
  f.rssStartKiB = figuresOf(inst.monitorPid()).rssKiB;
  // Waiting: handed on and not started, less those logged as dropped.
  std::vector<int> waiting;
  auto sample = [&] {
    f.rssEndKiB = figuresOf(inst.monitorPid()).rssKiB;
    f.rssPeakKiB = std::max(f.rssPeakKiB, f.rssEndKiB);
    f.handed = inst.countInLog("send notification ");
    f.started = lines(started);
    waiting.push_back(f.handed - f.started);
  };
  const std::string bin = inst.root() + "/bin/c";
  const double begin = nowMs();
  for (int r = 0; r < rounds; ++r) {
    for (pid_t pid : processesMentioning(bin)) kill(pid, SIGKILL);
    for (int s = 0; s < 4; ++s) {
      sleep(1);
      sample();
    }
  }
  for (int s = 0; s < 10; ++s) {
    sleep(1);
    sample();
  }
  if (droppedIn(readFile(inst.logFile())) > 0) {
    // The drops are logged a minute apart: one more death past that minute
    // has the rest logged, so that the last figure is exact.
    while (nowMs() < begin + 62000) sleep(1);
    for (pid_t pid : processesMentioning(bin + "0 ")) kill(pid, SIGKILL);
    sleep(1);
    sample();
  }
  const std::string log = readFile(inst.logFile());
  f.heldBack = countOf(log, "\" held back\n");
  f.dropped = droppedIn(log);
  f.waitingEnd = waiting.back() - f.dropped;
  if (f.dropped == 0) f.waitingPeak = *std::max_element(waiting.begin(), waiting.end());
  return f;
}

void print(const char* what, const Figures& f) {
  printf("%-34s %7.1f %7.1f %7.1f %8s %8d %7d %7d %7d %7d\n", what, f.rssStartKiB / 1024.0,
         f.rssPeakKiB / 1024.0, f.rssEndKiB / 1024.0,
         f.waitingPeak < 0 ? "-" : std::to_string(f.waitingPeak).c_str(), f.waitingEnd, f.handed,
         f.started, f.heldBack, f.dropped);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const int comps = argc > 1 ? atoi(argv[1]) : 200;
  const int rounds = argc > 2 ? atoi(argv[2]) : 4;
  const std::string baseline = argc > 3 ? argv[3] : "";
  printf("mail storm: %d components killed %d times, 4 s apart; inject command 2 s a mail\n",
         comps, rounds);
  printf("%-34s %7s %7s %7s %8s %8s %7s %7s %7s %7s\n", "", "RSS MiB", "peak", "end",
         "waiting", "at end", "handed", "started", "held", "dropped");
  if (!baseline.empty()) print("baseline", storm(baseline, comps, rounds, ""));
  print("this build (MailsPerMinute 30)", storm(monitorBinary(), comps, rounds, ""));
  // The queue's bound alone; with drops only the last waiting figure is
  // exact (see storm()).
  print("this build (MailsPerMinute 10000)", storm(monitorBinary(), comps, rounds, "10000"));
  return 0;
}
