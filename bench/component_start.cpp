// Cost of one component start (fork, exec, one-byte answer) and stop
// (SIGTERM, reap) through Component, next to the bare minimum: fork, exec
// fake-component, read its byte, SIGTERM and reap.
//
// Usage: component-start [iterations]   (default 500)

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "frame/log.h"
#include "monitor/component.h"
#include "monitor/standart_comp_strategy.h"

namespace {

const char kFake[] = NORVAK_BIN_DIR "/tools/fake-component";

double baselineOnce() {
  auto t0 = std::chrono::steady_clock::now();
  int p[2];
  if (pipe(p) != 0) throw std::runtime_error("pipe");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(p[1], 1);
    close(p[0]);
    close(p[1]);
    execl(kFake, kFake, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(p[1]);
  char c;
  while (read(p[0], &c, 1) < 0) {
  }
  kill(pid, SIGTERM);
  int status;
  while (waitpid(pid, &status, 0) < 0) {
  }
  close(p[0]);
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

double componentOnce(Component& comp, const std::string& dir) {
  auto t0 = std::chrono::steady_clock::now();
  StandartCompStrategy strategy;
  comp.startStandart(strategy, dir, 0, "Bench");
  comp.stop(false);
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? atoi(argv[1]) : 500;
  initLog("syslog", "quiet", "quiet", "daemon", false, false);

  char tmpl[] = "/tmp/norvak-bench-XXXXXX";
  if (!mkdtemp(tmpl)) {
    perror("mkdtemp");
    return 1;
  }
  const std::string dir = std::string(tmpl) + "/";
  const std::string link = dir + "fake";
  if (symlink(kFake, link.c_str()) != 0) {
    perror("symlink");
    return 1;
  }
  Component comp("fake");
  comp.setTimeStart(10);
  comp.setTimeStop(10);

  // Interleaved so that load changes on the machine hit both alike.
  double base = 0, full = 0;
  for (int i = 0; i < n; ++i) {
    base += baselineOnce();
    full += componentOnce(comp, dir);
  }
  unlink(link.c_str());
  rmdir(tmpl);

  base /= n;
  full /= n;
  printf("iterations:                      %d\n", n);
  printf("baseline fork+exec+byte+reap:    %.1f us\n", base);
  printf("Component start+stop:            %.1f us\n", full);
  printf("ratio component/baseline:        %.2f\n", full / base);
  return 0;
}
