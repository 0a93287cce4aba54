// fake-component: a stand-in for a supervised program of the suite, for tests
// and the demo. Place it (a symlink will do) under the component's name in an
// application directory; the name it was started under (the last part of
// argv[0]) is its component name.
//
// It follows the supervised-program contract: writes its one-byte start
// answer on standard output and keeps standard output open while it runs,
// reloads (records) on SIGHUP, ends on SIGTERM, answers --check-only with its
// findings, and, started with --socket ADDR --pid-file PATH, writes that pid
// file.
//
// Behaviour is chosen by environment variables and overridden by arguments
// (so that one .mmc file can give each component its own behaviour through
// its argument string). Durations are in milliseconds.
//
//   argument                 environment           meaning
//   --answer=WHAT            FAKE_ANSWER           start answer: "space" (default),
//                                                  "E", "LF", "none" (never answer),
//                                                  "close" (close stdout, keep running),
//                                                  or any single character
//   --answer-delay=MS        FAKE_ANSWER_DELAY_MS  wait before answering
//   --exit-after=MS          FAKE_EXIT_AFTER_MS    exit by itself this long after the answer
//   --exit-code=N            FAKE_EXIT_CODE        its exit status (default 0)
//   --die-after=MS           FAKE_DIE_AFTER_MS     die by a signal this long after the answer
//   --signal=N               FAKE_SIGNAL           that signal (default SIGSEGV)
//   --term=exit|die|ignore   FAKE_TERM             on SIGTERM/SIGINT: exit(0) (default), die
//                                                  by the signal, or ignore it
//   --hup-log=PATH           FAKE_HUP_LOG          append "HUP <pid>" per SIGHUP received
//   --hup-dir=DIR            FAKE_HUP_DIR          hold DIR/NAME.PID.hup write-locked while alive
//   --args-log=PATH          FAKE_ARGS_LOG         append the argument vector, one line, words
//                                                  separated by single blanks
//   --check-output=A|B|..    FAKE_CHECK_OUTPUT     lines printed for --check-only ("|" separates
//                                                  lines; default "Options OK")
//   --check-delay=MS         FAKE_CHECK_DELAY_MS   wait before printing them
//   --check-exit=N           FAKE_CHECK_EXIT       exit status after the check (default 0)
//   --check-hold             FAKE_CHECK_HOLD=1     after the check output keep running until
//                                                  SIGTERM instead of exiting
//   --args-file=PATH         FAKE_ARGS_FILE        if PATH exists at start, its blank-separated
//                                                  words are read as more arguments, after (and
//                                                  so overriding) the command line's: a test
//                                                  changes how the next start behaves without
//                                                  changing the argument string the monitor sees
//   --spawn-holder           (none)                after the answer, start a helper that
//                                                  inherits standard output and lives on (up to
//                                                  120 s, or until SIGTERM) when the component
//                                                  dies; it runs fake-component again under
//                                                  argv[0] "<argv[0]>-holder", so it is never
//                                                  taken for the component itself
//   --flood-after-answer     (none)                after the answer, write "y\n" lines on
//                                                  standard output without pause (like yes),
//                                                  still serving signals and the deadlines
//   --flood-on-stderr        (none)                the same on standard error; standard output
//                                                  stays quiet after the answer
//   --print-env              (none)                after the answer, one line "env NAME=value"
//                                                  per variable of its environment, in order,
//                                                  then "env end"
//   --print-limits           (none)                after the answer, "limit NAME soft hard" for
//                                                  NOFILE, CORE, AS and NPROC ("unlimited" for
//                                                  none), then the line "cgroup " and its cgroup
//   --notify-watchdog=MS     (none)                when NOTIFY_SOCKET is set: after the answer
//                                                  send READY=1 and STATUS=serving, then
//                                                  WATCHDOG=1 every MS (from a thread of its
//                                                  own, so from this process)
//   --notify-stop-after=MS   (none)                stop sending WATCHDOG=1 this long after the
//                                                  answer (STATUS=stalled), living on
//   --notify-foreign=MS      (none)                a child process sends WATCHDOG=1 to
//                                                  NOTIFY_SOCKET every MS (for 60 s at most)
//   --listen=PORT            (none)                accept TCP connections on 127.0.0.1:PORT
//                                                  (closing each at once) with the smallest
//                                                  backlog, so that a stopped one soon refuses
//
// The last nine have no environment variable: the helper and any program the
// component starts would inherit it, and a test of the environment itself
// must not depend on it.
//
// Arguments added by the monitor's start strategies: --update (accepted),
// --check-only (check mode; an argument after it is the agent address and is
// ignored), --socket ADDR and --pid-file PATH. Unknown arguments are ignored.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
  std::string answer = "space";
  long answerDelay = 0;
  long exitAfter = -1;
  int exitCode = 0;
  long dieAfter = -1;
  int signal = SIGSEGV;
  std::string term = "exit";
  std::string hupLog;
  std::string hupDir;
  std::string argsLog;
  std::string checkOutput = "Options OK";
  long checkDelay = 0;
  int checkExit = 0;
  bool checkHold = false;
  bool checkOnly = false;
  std::string argsFile;
  bool spawnHolder = false;
  bool flood = false;
  int floodFd = 1;
  bool printEnv = false;
  bool printLimits = false;
  std::string socket;
  std::string pidFile;
  long notifyWatchdog = -1;
  long notifyStopAfter = -1;
  long notifyForeign = -1;
  long foreignSender = -1;  // this process is the helper of --notify-foreign
  int listenPort = 0;
};

std::string g_hupPath;
std::string g_pidPath;  // the agent's pid file, removed when it ends

void fromEnv(Options& o) {
  auto get = [](const char* name, std::string& out) {
    const char* v = getenv(name);
    if (v) out = v;
  };
  auto getLong = [](const char* name, long& out) {
    const char* v = getenv(name);
    if (v && *v) out = strtol(v, nullptr, 10);
  };
  auto getInt = [&](const char* name, int& out) {
    long v = out;
    getLong(name, v);
    out = static_cast<int>(v);
  };
  get("FAKE_ANSWER", o.answer);
  getLong("FAKE_ANSWER_DELAY_MS", o.answerDelay);
  getLong("FAKE_EXIT_AFTER_MS", o.exitAfter);
  getInt("FAKE_EXIT_CODE", o.exitCode);
  getLong("FAKE_DIE_AFTER_MS", o.dieAfter);
  getInt("FAKE_SIGNAL", o.signal);
  get("FAKE_TERM", o.term);
  get("FAKE_HUP_LOG", o.hupLog);
  get("FAKE_HUP_DIR", o.hupDir);
  get("FAKE_ARGS_LOG", o.argsLog);
  get("FAKE_ARGS_FILE", o.argsFile);
  get("FAKE_CHECK_OUTPUT", o.checkOutput);
  getLong("FAKE_CHECK_DELAY_MS", o.checkDelay);
  getInt("FAKE_CHECK_EXIT", o.checkExit);
  const char* hold = getenv("FAKE_CHECK_HOLD");
  if (hold && *hold == '1') o.checkHold = true;
}

bool takeValue(const std::string& arg, const char* key, std::string& out) {
  const size_t n = strlen(key);
  if (arg.compare(0, n, key) != 0 || arg.size() <= n || arg[n] != '=') return false;
  out = arg.substr(n + 1);
  return true;
}

void fromArgs(const std::vector<std::string>& args, Options& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "--check-only") {
      o.checkOnly = true;
    } else if (a == "--socket" && i + 1 < args.size()) {
      o.socket = args[++i];
    } else if (a == "--pid-file" && i + 1 < args.size()) {
      o.pidFile = args[++i];
    } else if (a == "--check-hold") {
      o.checkHold = true;
    } else if (a == "--spawn-holder") {
      o.spawnHolder = true;
    } else if (a == "--flood-after-answer") {
      o.flood = true;
    } else if (a == "--print-env") {
      o.printEnv = true;
    } else if (a == "--print-limits") {
      o.printLimits = true;
    } else if (a == "--flood-on-stderr") {
      o.flood = true;
      o.floodFd = 2;
    } else if (takeValue(a, "--notify-watchdog", v)) {
      o.notifyWatchdog = strtol(v.c_str(), nullptr, 10);
    } else if (takeValue(a, "--notify-stop-after", v)) {
      o.notifyStopAfter = strtol(v.c_str(), nullptr, 10);
    } else if (takeValue(a, "--notify-foreign", v)) {
      o.notifyForeign = strtol(v.c_str(), nullptr, 10);
    } else if (takeValue(a, "--foreign-sender", v)) {
      o.foreignSender = strtol(v.c_str(), nullptr, 10);
    } else if (takeValue(a, "--listen", v)) {
      o.listenPort = atoi(v.c_str());
    } else if (takeValue(a, "--args-file", v)) {
      o.argsFile = v;
    } else if (takeValue(a, "--answer", v)) {
      o.answer = v;
    } else if (takeValue(a, "--answer-delay", v)) {
      o.answerDelay = strtol(v.c_str(), nullptr, 10);
    } else if (takeValue(a, "--exit-after", v)) {
      o.exitAfter = strtol(v.c_str(), nullptr, 10);
    } else if (takeValue(a, "--exit-code", v)) {
      o.exitCode = atoi(v.c_str());
    } else if (takeValue(a, "--die-after", v)) {
      o.dieAfter = strtol(v.c_str(), nullptr, 10);
    } else if (takeValue(a, "--signal", v)) {
      o.signal = atoi(v.c_str());
    } else if (takeValue(a, "--term", v)) {
      o.term = v;
    } else if (takeValue(a, "--hup-log", v)) {
      o.hupLog = v;
    } else if (takeValue(a, "--hup-dir", v)) {
      o.hupDir = v;
    } else if (takeValue(a, "--args-log", v)) {
      o.argsLog = v;
    } else if (takeValue(a, "--check-output", v)) {
      o.checkOutput = v;
    } else if (takeValue(a, "--check-delay", v)) {
      o.checkDelay = strtol(v.c_str(), nullptr, 10);
    } else if (takeValue(a, "--check-exit", v)) {
      o.checkExit = atoi(v.c_str());
    }
  }
}

std::vector<std::string> wordsOfFile(const std::string& path) {
  std::vector<std::string> words;
  FILE* f = fopen(path.c_str(), "re");
  if (!f) return words;
  std::string word;
  for (int c; (c = fgetc(f)) != EOF;) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(c);
    }
  }
  if (!word.empty()) words.push_back(word);
  fclose(f);
  return words;
}

void appendLine(const std::string& path, const std::string& line) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string data = line + "\n";
  ssize_t w;
  do {
    w = write(fd, data.data(), data.size());
  } while (w < 0 && errno == EINTR);
  close(fd);
}

void writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t w = write(fd, data.data() + done, data.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    done += static_cast<size_t>(w);
  }
}

void finish(int code) {
  if (!g_hupPath.empty()) unlink(g_hupPath.c_str());
  if (!g_pidPath.empty()) unlink(g_pidPath.c_str());
  _exit(code);
}

[[noreturn]] void dieBy(int sig) {
  // A crash leaves its hup file behind, like a real one; no core file
  // though, tests kill many of these.
  struct rlimit noCore = {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(128 + sig);
}

long long nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The signals this program takes synchronously, and so keeps blocked.
sigset_t servedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

void onSignal(const Options& o, int sig) {
  if (sig == SIGHUP) {
    if (!o.hupLog.empty()) appendLine(o.hupLog, "HUP " + std::to_string(getpid()));
    return;
  }
  if (o.term == "ignore") return;
  if (o.term == "die") dieBy(sig);
  finish(0);
}

// Serves signals until the deadline (ms on the monotonic clock, < 0: none).
void serveSignals(const Options& o, long long deadline) {
  const sigset_t set = servedSignals();
  for (;;) {
    int sig;
    if (deadline >= 0) {
      long long left = deadline - nowMs();
      if (left <= 0) return;
      struct timespec ts = {static_cast<time_t>(left / 1000), (left % 1000) * 1000000};
      sig = sigtimedwait(&set, nullptr, &ts);
      if (sig < 0) {
        if (errno == EAGAIN) return;
        continue;
      }
    } else {
      sig = sigwaitinfo(&set, nullptr);
      if (sig < 0) continue;
    }
    onSignal(o, sig);
  }
}

// Writes on standard output or error as fast as the reader takes it,
// serving signals in between, until the deadline. A reader that went away
// ends the flood; the signals are still served.
void floodOutput(const Options& o, long long deadline) {
  const sigset_t set = servedSignals();
  const int sigFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  const int fd = o.floodFd;
  const int flags = fcntl(fd, F_GETFL);
  if (sigFd < 0 || flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    serveSignals(o, deadline);
    return;
  }
  signal(SIGPIPE, SIG_IGN);
  std::string chunk;
  while (chunk.size() < 4096) chunk += "y\n";
  for (;;) {
    struct signalfd_siginfo info;
    while (read(sigFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
      onSignal(o, static_cast<int>(info.ssi_signo));
    long long left = deadline < 0 ? 1000 : deadline - nowMs();
    if (left <= 0) return;
    ssize_t w = write(fd, chunk.data(), chunk.size());
    if (w >= 0 || errno == EINTR) continue;
    if (errno != EAGAIN) break;
    struct pollfd p[2] = {{fd, POLLOUT, 0}, {sigFd, POLLIN, 0}};
    poll(p, 2, static_cast<int>(left < 1000 ? left : 1000));
  }
  close(sigFd);
  serveSignals(o, deadline);
}

// The helper is a new program, not a fork: a forked copy would carry the
// component's argv[0] and pass for a second instance of it. It gets no
// environment, so that nothing the component was told reaches it.
void spawnHolder(const char* argv0) {
  const std::string name = std::string(argv0) + "-holder";
  char answer[] = "--answer=none";
  char life[] = "--exit-after=120000";
  char* args[] = {const_cast<char*>(name.c_str()), answer, life, nullptr};
  char* env[] = {nullptr};
  if (fork() == 0) {
    execve("/proc/self/exe", args, env);
    _exit(127);
  }
}

void holdHupFile(const Options& o, const char* argv0) {
  if (o.hupDir.empty()) return;
  std::string name = argv0;
  size_t slash = name.rfind('/');
  if (slash != std::string::npos) name = name.substr(slash + 1);
  std::string dir = o.hupDir;
  if (dir.empty() || dir.back() != '/') dir += "/";
  std::string path = dir + name + "." + std::to_string(getpid()) + ".hup";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  struct flock lock;
  memset(&lock, 0, sizeof(lock));
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_SETLK, &lock) != 0) {
    close(fd);
    return;
  }
  g_hupPath = path;  // the descriptor stays open: the lock lives with us
}

// What the monitor gave the process, on standard output (which it logs).
void printSetup(const Options& o) {
  std::string out;
  if (o.printEnv) {
    for (char** e = environ; e && *e; ++e) out += std::string("env ") + *e + "\n";
    out += "env end\n";
  }
  if (o.printLimits) {
    const struct {
      const char* name;
      int resource;
    } limits[] = {{"NOFILE", RLIMIT_NOFILE}, {"CORE", RLIMIT_CORE}, {"AS", RLIMIT_AS},
                  {"NPROC", RLIMIT_NPROC}};
    auto text = [](rlim_t v) {
      return v == RLIM_INFINITY ? std::string("unlimited") : std::to_string(v);
    };
    for (const auto& l : limits) {
      struct rlimit r;
      if (getrlimit(static_cast<__rlimit_resource_t>(l.resource), &r) == 0)
        out += std::string("limit ") + l.name + " " + text(r.rlim_cur) + " " +
               text(r.rlim_max) + "\n";
    }
    std::string cgroup;
    FILE* f = fopen("/proc/self/cgroup", "re");
    if (f) {
      char line[512];
      while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "0::", 3) == 0) cgroup = std::string(line + 3);
      }
      fclose(f);
    }
    if (!cgroup.empty() && cgroup.back() == '\n') cgroup.pop_back();
    out += "cgroup " + cgroup + "\n";
  }
  writeAll(1, out);
}

// One datagram to NOTIFY_SOCKET ("@name" is a Linux abstract address), as
// sd_notify sends it. False when there is no socket to send to.
bool notify(const std::string& message) {
  const char* where = getenv("NOTIFY_SOCKET");
  if (!where || !*where) return false;
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  const std::string path = where;
  if (path.size() >= sizeof(addr.sun_path)) return false;
  memcpy(addr.sun_path, path.data(), path.size());
  if (path[0] == '@') addr.sun_path[0] = '\0';
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const socklen_t length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + path.size());
  const bool sent = sendto(fd, message.data(), message.size(), 0,
                           reinterpret_cast<struct sockaddr*>(&addr), length) >= 0;
  close(fd);
  return sent;
}

// The helper of --notify-foreign: sends until killed with the component's
// group, or for 60 s.
[[noreturn]] void sendForeign(long every) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  for (long long end = nowMs() + 60000; nowMs() < end;) {
    notify("WATCHDOG=1\nSTATUS=forged");
    std::this_thread::sleep_for(std::chrono::milliseconds(every));
  }
  _exit(0);
}

void startNotifying(const Options& o, const char* argv0) {
  if (o.notifyWatchdog > 0 && getenv("NOTIFY_SOCKET")) {
    notify("READY=1\nSTATUS=serving");
    const long every = o.notifyWatchdog;
    const long stopAfter = o.notifyStopAfter;
    std::thread([every, stopAfter] {
      const long long began = nowMs();
      for (;;) {
        if (stopAfter >= 0 && nowMs() - began >= stopAfter) {
          notify("STATUS=stalled");
          return;
        }
        notify("WATCHDOG=1");
        std::this_thread::sleep_for(std::chrono::milliseconds(every));
      }
    }).detach();
  }
  if (o.notifyForeign > 0 && getenv("NOTIFY_SOCKET") && fork() == 0) {
    // A program of its own name, never taken for the component itself.
    const std::string name = std::string(argv0) + "-foreign";
    const std::string every = "--foreign-sender=" + std::to_string(o.notifyForeign);
    execl("/proc/self/exe", name.c_str(), every.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
}

void startListening(const Options& o) {
  if (o.listenPort <= 0) return;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(o.listenPort));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 0) != 0) {
    close(fd);
    return;
  }
  std::thread([fd] {
    for (;;) {
      const int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) close(c);
    }
  }).detach();
}

void answer(const Options& o) {
  const std::string& a = o.answer;
  if (a == "none") return;
  if (a == "close") {
    // Closing stdout ends the answer without a byte; a descriptor on
    // /dev/null keeps later writes harmless.
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
      dup2(devnull, 1);
      close(devnull);
    } else {
      close(1);
    }
    return;
  }
  char c;
  if (a == "space" || a.empty()) {
    c = ' ';
  } else if (a == "LF") {
    c = '\n';
  } else {
    c = a[0];
  }
  writeAll(1, std::string(1, c));
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  fromEnv(o);
  fromArgs(std::vector<std::string>(argv + 1, argv + argc), o);
  if (!o.argsFile.empty()) fromArgs(wordsOfFile(o.argsFile), o);

  if (o.foreignSender > 0) sendForeign(o.foreignSender);

  // Signals are taken synchronously; the monitor left them unblocked.
  const sigset_t set = servedSignals();
  sigprocmask(SIG_BLOCK, &set, nullptr);

  if (!o.argsLog.empty()) {
    std::string line;
    for (int i = 0; i < argc; ++i) line += std::string(i ? " " : "") + argv[i];
    appendLine(o.argsLog, line);
  }

  if (o.checkOnly) {
    if (o.checkDelay > 0) serveSignals(o, nowMs() + o.checkDelay);
    std::string out;
    size_t start = 0;
    for (;;) {
      size_t bar = o.checkOutput.find('|', start);
      out += o.checkOutput.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
      out += "\n";
      if (bar == std::string::npos) break;
      start = bar + 1;
    }
    writeAll(1, out);
    if (o.checkHold) serveSignals(o, -1);
    finish(o.checkExit);
  }

  if (!o.pidFile.empty()) {
    int fd = open(o.pidFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      writeAll(fd, std::to_string(getpid()) + "\n");
      close(fd);
      g_pidPath = o.pidFile;
    }
  }
  holdHupFile(o, argv[0]);

  startListening(o);
  if (o.answerDelay > 0) serveSignals(o, nowMs() + o.answerDelay);
  answer(o);
  printSetup(o);
  startNotifying(o, argv[0]);
  if (o.spawnHolder) spawnHolder(argv[0]);

  long long deadline = -1;
  if (o.exitAfter >= 0) deadline = nowMs() + o.exitAfter;
  if (o.dieAfter >= 0 && (deadline < 0 || nowMs() + o.dieAfter < deadline))
    deadline = nowMs() + o.dieAfter;
  if (o.flood) {
    floodOutput(o, deadline);
  } else {
    serveSignals(o, deadline);
  }
  // The deadline passed: whichever of the two ends came first.
  if (o.dieAfter >= 0 && (o.exitAfter < 0 || o.dieAfter <= o.exitAfter)) dieBy(o.signal);
  finish(o.exitCode);
}
