#ifndef NORVAK_BENCH_MONITOR_BENCH_SUPPORT_H_
#define NORVAK_BENCH_MONITOR_BENCH_SUPPORT_H_

// Shared by the monitor benchmarks: a throw-away installation of the monitor
// with fake components, the monitor as a child process, precise waits on its
// log and on hup files through inotify, and the baseline every figure is
// compared with: a bare fork + exec + one-byte answer of the same program.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "proc_util.h"

namespace norvak_bench {

inline const char* fakeComponent() { return NORVAK_BIN_DIR "/tools/fake-component"; }
inline const char* monitorBinary() { return NORVAK_BIN_DIR "/program/norvak-monitor"; }

inline double nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The value below which pct percent of the samples lie (0 for none).
inline double percentile(std::vector<double> v, int pct) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, v.size() * static_cast<size_t>(pct) / 100)];
}

inline void fail(const std::string& what) {
  fprintf(stderr, "bench failed: %s\n", what.c_str());
  exit(2);
}

// Times what occurs in text, overlapping occurrences included.
inline int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// In a forked child: becomes the monitor with these arguments (a few), its
// standard input on /dev/null and both of its outputs in the file out.
// Nothing is allocated here: the parent may have threads.
[[noreturn]] inline void execMonitor(const std::string& out,
                                     std::initializer_list<const char*> args,
                                     const char* binary = monitorBinary()) {
  const char* argv[8] = {binary};
  size_t n = 1;
  for (const char* a : args) {
    if (n + 1 < sizeof argv / sizeof argv[0]) argv[n++] = a;
  }
  argv[n] = nullptr;
  int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int in = open("/dev/null", O_RDONLY);
  dup2(in, 0);
  dup2(o, 1);
  dup2(o, 2);
  syscall(SYS_close_range, 3u, ~0u, 0u);
  execv(argv[0], const_cast<char* const*>(argv));
  _exit(127);
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  if (!out) fail("cannot write " + path);
}

// Figures of a live process from /proc.
struct ProcFigures {
  double cpuSec = 0;  // user + system
  long rssKiB = 0;
  int threads = 0;
  int fds = 0;
  int zombieChildren = 0;
};

// State letter and parent of a process from /proc/PID/stat; false if gone.
inline bool statOf(pid_t pid, char& state, pid_t& ppid, double* cpuSec = nullptr) {
  std::string s = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = s.rfind(')');
  if (paren == std::string::npos) return false;
  std::istringstream in(s.substr(paren + 2));
  std::string field;
  std::vector<std::string> f;
  while (in >> field) f.push_back(field);
  if (f.size() < 13) return false;
  state = f[0][0];
  ppid = static_cast<pid_t>(atol(f[1].c_str()));
  // Fields 14 and 15 of the file (utime, stime) are 11 and 12 after ")".
  if (cpuSec) *cpuSec = (atof(f[11].c_str()) + atof(f[12].c_str())) / sysconf(_SC_CLK_TCK);
  return true;
}

inline ProcFigures figuresOf(pid_t pid) {
  ProcFigures r;
  char state;
  pid_t ppid;
  statOf(pid, state, ppid, &r.cpuSec);
  std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) r.rssKiB = atol(line.c_str() + 6);
    if (line.compare(0, 8, "Threads:") == 0) r.threads = atoi(line.c_str() + 8);
  }
  if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++r.fds;
    closedir(d);
  }
  for (pid_t p : allPids()) {
    pid_t parent;
    if (statOf(p, state, parent) && parent == pid && state == 'Z') ++r.zombieChildren;
  }
  return r;
}

// Live processes whose command line mentions text.
inline std::vector<pid_t> processesMentioning(const std::string& text) {
  std::vector<pid_t> found;
  for (pid_t pid : allPids()) {
    if (pid == getpid()) continue;
    std::string cmd = readFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::replace(cmd.begin(), cmd.end(), '\0', ' ');
    if (cmd.find(text) != std::string::npos) found.push_back(pid);
  }
  return found;
}

// Starts the program with the given arguments on a pipe and waits for its
// one-byte answer: the least any supervisor has to do to start it. Answers
// the time in ms; the process is killed and reaped outside the measurement.
inline double bareStartMs(const std::string& exe, const std::vector<std::string>& args) {
  std::vector<std::string> words = {exe};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  const double t0 = nowMs();
  int fds[2];
  if (pipe(fds) != 0) fail("pipe");
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    dup2(fds[1], 1);
    syscall(SYS_close_range, 3u, ~0u, 0u);
    setsid();
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  char c = 0;
  ssize_t n;
  do {
    n = read(fds[0], &c, 1);
  } while (n < 0 && errno == EINTR);
  const double t1 = nowMs();
  close(fds[0]);
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (n != 1 || c != ' ') fail("bare start got no answer");
  return t1 - t0;
}

// A temporary installation: bin/ (fake-component under every component
// name), meta/, run/ (pid and hup files), the log. The monitor runs as a
// child in the foreground; destruction stops it and kills what is left.
class Installation {
 public:
  struct App {
    std::string name;
    std::string deps;
    std::vector<std::string> comps;
    int timeStop = 5;  // of each component, in seconds
  };

  Installation() {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/norvak-bench-XXXXXX";
    if (!mkdtemp(&tmpl[0])) fail("mkdtemp");
    root_ = tmpl;
    for (const char* sub : {"/bin", "/meta", "/run"}) mkdir((root_ + sub).c_str(), 0755);
    inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_ < 0) fail("inotify_init1");
    writeFile(logFile(), "");
    logWatch_ = inotify_add_watch(inotify_, logFile().c_str(), IN_MODIFY);
    runWatch_ = inotify_add_watch(inotify_, runDir().c_str(), IN_CREATE);
  }

  ~Installation() {
    stopMonitor();
    for (int round = 0; round < 100; ++round) {
      std::vector<pid_t> left = processesMentioning(root_);
      if (left.empty()) break;
      for (pid_t p : left) kill(p, SIGKILL);
      struct timespec ts = {0, 20 * 1000000L};
      nanosleep(&ts, nullptr);
      while (waitpid(-1, nullptr, WNOHANG) > 0) {
      }
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    close(inotify_);
    std::string cmd = "rm -rf '" + root_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }

  const std::string& root() const { return root_; }
  std::string runDir() const { return root_ + "/run/"; }
  std::string logFile() const { return root_ + "/monitor.log"; }

  // Every component holds a hup file, whose creation tells its pid.
  void writeMeta(const std::vector<App>& apps, const std::string& logType = "LOG") {
    writeMetaWithArgs(apps, {}, logType);
  }

  // As writeMeta, with more arguments for the components named in args.
  void writeMetaWithArgs(const std::vector<App>& apps,
                         const std::map<std::string, std::string>& args,
                         const std::string& logType = "LOG") {
    std::string text;
    for (const App& a : apps) {
      text += "APPLICATION " + a.name + "\n  FULLNAME \"Bench " + a.name + "\"\n  PATH \"" + root_ +
              "/bin\"\n";
      if (!a.deps.empty()) text += "  DEPENDS " + a.deps + "\n";
      text += "  COMPONENTS\n";
      for (const std::string& c : a.comps) {
        const std::string link = root_ + "/bin/" + c;
        if (symlink(fakeComponent(), link.c_str()) != 0 && errno != EEXIST) fail("symlink");
        auto more = args.find(c);
        text += "    " + c + " \"--hup-dir=" + runDir() +
                (more == args.end() ? std::string() : " " + more->second) + "\" 10 " +
                std::to_string(a.timeStop) + " " + logType + " -\n";
      }
      text += "  ENDCOMPONENTS\nENDAPPLICATION\n";
    }
    writeFile(root_ + "/meta/bench.mmc", text);
  }

  // Times text occurs in the whole log, consumed or not.
  int countInLog(const std::string& text) const { return countOf(readFile(logFile()), text); }

  void writeConf(const std::string& runAppList, const std::string& recovery,
                 const std::string& level = "Info") {
    writeFile(root_ + "/monitor.conf",
              "[Logging]\nFileName = " + logFile() + "\nLevel = " + level +
                  "\nIPCLevel = Error\n[Monitor]\nRunForeground = yes\nPidFileDir = " + runDir() +
                  "\nUser =\nGroup =\nChDir =\nMetaConfigDir = " + root_ +
                  "/meta/\nAgentResponseTime = 1\nAddress =\nInjectCmd = /bin/true\n"
                  "AgentAddress = local:" +
                  runDir() + ".agent\nRunAppList = " + runAppList +
                  "\nUseEnterpriseMode = no\nRecoveryTimeList = " + recovery +
                  // Benches kill the same component again and again: each
                  // kill is a fresh fault, not a crash loop to give up on.
                  "\nStableTime = 0\n");
  }

  // apps applications APP0, APP1, ... (each but APP0 after APP0) of perApp
  // components c0, c1, ... in all, with their configuration.
  void writeWideSuite(int apps, int perApp, const std::string& recovery) {
    std::vector<App> suite;
    std::string runList;
    for (int a = 0; a < apps; ++a) {
      App app{"APP" + std::to_string(a), a > 0 ? "APP0" : "", {}};
      for (int c = 0; c < perApp; ++c) app.comps.push_back("c" + std::to_string(a * perApp + c));
      runList += (a ? ", " : "") + app.name;
      suite.push_back(app);
    }
    writeMeta(suite);
    writeConf(runList, recovery);
  }

  // binary: another build's monitor, to compare with.
  void startMonitor(const std::string& binary = monitorBinary()) {
    const std::string conf = root_ + "/monitor.conf";
    const std::string out = root_ + "/stderr";
    pid_ = fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
      setpgid(0, 0);
      execMonitor(out, {"--conf", conf.c_str()}, binary.c_str());
    }
  }

  pid_t monitorPid() const { return pid_; }

  void stopMonitor() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const double deadline = nowMs() + 120000;
    int status;
    for (;;) {
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) break;
      if (nowMs() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      struct timespec ts = {0, 10 * 1000000L};
      nanosleep(&ts, nullptr);
    }
    pid_ = -1;
  }

  // Waits for a log line containing text, written after everything already
  // consumed; false after timeoutMs.
  bool waitLog(const std::string& text, double timeoutMs) {
    const double deadline = nowMs() + timeoutMs;
    for (;;) {
      if (scanLog(text)) return true;
      if (!waitEvent(deadline)) return scanLog(text);
    }
  }

  // Waits for a new hup file of component comp and answers its pid; -1 on
  // time-out. Files seen before are remembered.
  pid_t waitHupFile(const std::string& comp, double timeoutMs) {
    const double deadline = nowMs() + timeoutMs;
    for (;;) {
      auto it = newHups_.find(comp);
      if (it != newHups_.end() && !it->second.empty()) {
        pid_t pid = it->second.front();
        it->second.erase(it->second.begin());
        return pid;
      }
      if (!waitEvent(deadline)) return -1;
    }
  }

  // Forgets the hup files seen so far.
  void dropHupFiles() {
    drainEvents();
    newHups_.clear();
  }

  // Starts consuming the log from its current end.
  void skipLog() {
    drainEvents();
    struct stat st;
    if (stat(logFile().c_str(), &st) == 0) logOffset_ = st.st_size;
    pending_.clear();
  }

 private:
  bool scanLog(const std::string& text) {
    int fd = open(logFile().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[65536];
    bool found = false;
    for (;;) {
      ssize_t n = pread(fd, buf, sizeof buf, logOffset_);
      if (n <= 0) break;
      logOffset_ += n;
      pending_.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    // Everything up to the end of the matching line is consumed; without a
    // match, every complete line.
    const size_t pos = pending_.find(text);
    const size_t nl = pending_.find('\n', pos == std::string::npos ? 0 : pos);
    if (pos != std::string::npos && nl != std::string::npos) {
      found = true;
      pending_.erase(0, nl + 1);
    } else if (pos == std::string::npos) {
      pending_.erase(0, pending_.rfind('\n') == std::string::npos ? 0 : pending_.rfind('\n') + 1);
    }
    return found;
  }

  void drainEvents() {
    alignas(struct inotify_event) char buf[65536];
    for (;;) {
      ssize_t n = read(inotify_, buf, sizeof buf);
      if (n <= 0) return;
      record(buf, n);
    }
  }

  void record(const char* buf, ssize_t n) {
    for (ssize_t off = 0; off < n;) {
      const struct inotify_event* e = reinterpret_cast<const struct inotify_event*>(buf + off);
      if (e->wd == runWatch_ && e->len > 0) {
        std::string name = e->name;
        // NAME.PID.hup
        size_t end = name.rfind(".hup");
        size_t dot = end == std::string::npos ? end : name.rfind('.', end - 1);
        if (end != std::string::npos && dot != std::string::npos && end + 4 == name.size())
          newHups_[name.substr(0, dot)].push_back(atoi(name.c_str() + dot + 1));
      }
      off += sizeof(struct inotify_event) + e->len;
    }
  }

  // Blocks until inotify reports something; false at the deadline.
  bool waitEvent(double deadline) {
    double left = deadline - nowMs();
    if (left <= 0) return false;
    struct pollfd p = {inotify_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left) + 1);
    if (r <= 0) return r < 0 && errno == EINTR;
    alignas(struct inotify_event) char buf[65536];
    ssize_t n = read(inotify_, buf, sizeof buf);
    if (n > 0) record(buf, n);
    return true;
  }

  std::string root_;
  pid_t pid_ = -1;
  int inotify_ = -1;
  int logWatch_ = -1;
  int runWatch_ = -1;
  off_t logOffset_ = 0;
  std::string pending_;
  std::map<std::string, std::vector<pid_t>> newHups_;
};

}  // namespace norvak_bench

#endif  // NORVAK_BENCH_MONITOR_BENCH_SUPPORT_H_
