#include "monitor_harness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "proc_util.h"
#include "wait_util.h"

namespace norvak_test {

namespace {

const char kMonitor[] = NORVAK_BIN_DIR "/program/norvak-monitor";
const char kFakeComponent[] = NORVAK_BIN_DIR "/tools/fake-component";
const char kFakeInject[] = NORVAK_BIN_DIR "/tools/fake-inject";
const char kClockShift[] = NORVAK_BIN_DIR "/tests/integration/libnorvak-clock-shift.so";

void makeDir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
    throw std::runtime_error("mkdir " + path + ": " + strerror(errno));
}

void reapOrphans() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

}  // namespace

void sleepMs(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

long long nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void writeFile(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + tmp);
  }
  if (rename(tmp.c_str(), path.c_str()) != 0)
    throw std::runtime_error("rename " + tmp + ": " + strerror(errno));
}

std::vector<std::string> fileLines(const std::string& path) {
  std::vector<std::string> out;
  std::istringstream in(readFile(path));
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::vector<pid_t> processesRunning(const std::string& path) {
  std::vector<pid_t> found;
  for (pid_t pid : allPids()) {
    const std::string cmd = cmdlineOf(pid);
    if (!cmd.empty() && std::string(cmd.c_str()) == path) found.push_back(pid);
  }
  return found;
}

bool processExists(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

void killMentioning(const std::string& text) {
  for (pid_t p : processesMentioning(text)) kill(p, SIGKILL);
}

std::string findPython() {
  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
    const std::string path = std::string(dir) + "/python3";
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

double cpuSecondsOf(pid_t pid) {
  const std::vector<std::string> f = statFields(pid);
  if (f.size() < 13) return 0;
  return (atof(f[11].c_str()) + atof(f[12].c_str())) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double cpuSecondsOver(pid_t pid, int ms) {
  const double before = cpuSecondsOf(pid);
  sleepMs(ms);
  return cpuSecondsOf(pid) - before;
}

int threadsOf(pid_t pid) { return procEntries("/proc/" + std::to_string(pid) + "/task"); }

MonitorHarness::MonitorHarness() {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  for (const char* sub : {"/bin", "/run", "/mail", "/meta", "/trace"}) makeDir(root() + sub);
}

MonitorHarness::~MonitorHarness() { shutdown(); }

void MonitorHarness::shutdown() {
  if (!reaped_) {
    int status;
    signal(SIGTERM);
    if (!waitExit(status, stopGrace_)) {
      kill(pid_, SIGKILL);
      waitExit(status, 30);
    }
  }
  // Whatever still runs from this installation: components the monitor lost,
  // a half-started child, an inject command.
  for (int round = 0; round < 50; ++round) {
    std::vector<pid_t> left = processesMentioning(root() + "/");
    if (left.empty()) break;
    for (pid_t p : left) kill(p, SIGKILL);
    sleepMs(20);
    reapOrphans();
  }
  reapOrphans();
}

void MonitorHarness::addComponent(const std::string& name, const std::string& dir) {
  makeDir(root() + "/" + dir);
  const std::string link = root() + "/" + dir + "/" + name;
  unlink(link.c_str());
  if (symlink(kFakeComponent, link.c_str()) != 0)
    throw std::runtime_error("symlink " + link + ": " + strerror(errno));
}

std::string MonitorHarness::app(const std::string& name, const std::string& deps,
                                const std::vector<CompDef>& comps, const std::string& path) {
  std::string text = "APPLICATION " + name + "\n  FULLNAME \"Suite " + name + "\"\n  PATH \"" +
                     root() + "/" + path + "\"\n";
  if (!deps.empty()) text += "  DEPENDS " + deps + "\n";
  text += "  COMPONENTS\n";
  for (const CompDef& c : comps) {
    addComponent(c.name, path);
    std::string args = "--args-log=" + argsLog(c.name) + " --hup-log=" + hupLog(c.name);
    if (!c.args.empty()) args += " " + c.args;
    text += "    " + c.name + " \"" + args + "\" " + std::to_string(c.timeStart) + " " +
            std::to_string(c.timeStop) + " " + c.log + " " + c.user + "\n";
  }
  text += "  ENDCOMPONENTS\nENDAPPLICATION\n";
  return text;
}

void MonitorHarness::agentSuite(const std::vector<std::pair<std::string, CompDef>>& apps,
                                ConfValues conf) {
  writeMeta("agent.mmc", app("AGENT", "", {{"agent"}}));
  conf.runAppList = "AGENT";
  for (const auto& a : apps) {
    writeMeta(a.first + ".mmc", app(a.first, "AGENT", {a.second}));
    conf.runAppList += ", " + a.first;
  }
  writeConf(conf);
}

void MonitorHarness::writeMeta(const std::string& file, const std::string& text) {
  writeFile(metaDir() + file, text);
}

void MonitorHarness::removeMeta(const std::string& file) { unlink((metaDir() + file).c_str()); }

void MonitorHarness::writeConf(const ConfValues& v) {
  std::string text;
  text += "[Logging]\n";
  text += "FileName = " + logFile() + "\n";
  text += "Level = " + v.level + "\n";
  text += "IPCLevel = Error\n";
  text += "SyslogFacility = Daemon\n";
  text += "[Monitor]\n";
  text += "RunForeground = yes\n";
  text += "PidFileDir = " + runDir() + "\n";
  text += "User =\nGroup =\nChDir =\n";
  text += "MetaConfigDir = " + metaDir() + "\n";
  text += "AgentResponseTime = 1\n";
  text += "Address =\n";
  text += "Timeout = 30\n";
  text += "AdminGroup =\n";
  text += "InjectCmd = " +
          (v.injectCmd.empty() ? std::string(kFakeInject) + " " + mailDir() : v.injectCmd) + "\n";
  text += "AgentAddress =" + (v.withAgent ? " local:" + runDir() + ".agent" : std::string()) + "\n";
  text += "RunAppList = " + v.runAppList + "\n";
  text += "UseEnterpriseMode = no\n";
  text += "RecoveryTimeList = " + v.recoveryTimeList + "\n";
  if (!v.stableTime.empty()) text += "StableTime = " + v.stableTime + "\n";
  for (const std::string& key : v.omitKeys) {
    const std::string line = "\n" + key + " =";
    const size_t at = text.find(line);
    if (at == std::string::npos) throw std::logic_error("no key " + key + " to leave out");
    text.erase(at + 1, text.find('\n', at + 1) - at);
  }
  writeFile(confFile(), text);
}

void MonitorHarness::setConfValue(const std::string& key, const std::string& value) {
  std::string text = readFile(confFile());
  const size_t at = text.find("\n" + key + " =");
  if (at == std::string::npos) throw std::logic_error("no key " + key);
  text.replace(at + 1, text.find('\n', at + 1) - at - 1, key + " = " + value);
  writeFile(confFile(), text);
}

void MonitorHarness::setEnv(const std::string& name, const std::string& value) {
  for (auto& e : env_) {
    if (e.first == name) {
      e.second = value;
      return;
    }
  }
  env_.emplace_back(name, value);
}

bool MonitorHarness::useClockShift() {
  if (access(kClockShift, R_OK) != 0) return false;
  shiftWallClock(0);
  setEnv("LD_PRELOAD", kClockShift);
  setEnv("NORVAK_CLOCK_SHIFT_FILE", root() + "/clock-shift");
  // A sanitized monitor wants its runtime first among the loaded libraries;
  // the shim is not instrumented and does not mind coming before it.
  const char* asan = getenv("ASAN_OPTIONS");
  setEnv("ASAN_OPTIONS",
         std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0");
  return true;
}

void MonitorHarness::shiftWallClock(long seconds) {
  writeFile(root() + "/clock-shift", std::to_string(seconds) + "\n");
}

void MonitorHarness::start(const std::vector<std::string>& args) {
  if (!reaped_) throw std::logic_error("monitor already started");
  std::vector<std::string> words = {kMonitor, "--conf",
                                    relativeConf_ ? confFile().substr(root().size() + 1)
                                                  : confFile()};
  const std::string workDir = relativeConf_ ? root() : std::string();
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  const std::string out = root() + "/stdout";
  const std::string err = root() + "/stderr";
  // Prepared before fork: the child only execs.
  std::vector<std::string> envWords;
  for (char** e = environ; *e; ++e) {
    const std::string word = *e;
    const std::string name = word.substr(0, word.find('='));
    bool replaced = false;
    for (const auto& extra : env_) replaced = replaced || extra.first == name;
    if (!replaced) envWords.push_back(word);
  }
  for (const auto& extra : env_) envWords.push_back(extra.first + "=" + extra.second);
  std::vector<char*> envp;
  for (std::string& w : envWords) envp.push_back(&w[0]);
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
  if (pid == 0) {
    setpgid(0, 0);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
    int in = open("/dev/null", O_RDONLY);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || o < 0 || e < 0) _exit(127);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  pid_ = pid;
  reaped_ = false;
}

void MonitorHarness::signal(int sig) {
  if (!reaped_) kill(pid_, sig);
}

bool MonitorHarness::waitExit(int& status, int timeoutSec) {
  if (reaped_) return false;
  const long long deadline = nowMs() + timeoutSec * 1000LL;
  for (;;) {
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      return true;
    }
    if (r < 0 && errno != EINTR) return false;
    if (nowMs() >= deadline) return false;
    sleepMs(10);
  }
}

bool MonitorHarness::startUp(const std::vector<std::string>& args) {
  start(args);
  return waitLine(kMonitorStarted) >= 0;
}

int MonitorHarness::runToEnd(const std::vector<std::string>& args, std::string& out,
                             std::string& err, int timeoutSec) {
  start(args);
  int status = 0;
  const bool ended = waitExit(status, timeoutSec);
  out = stdoutText();
  err = stderrText();
  if (!ended || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string MonitorHarness::stdoutText() const { return readFile(root() + "/stdout"); }
std::string MonitorHarness::stderrText() const { return readFile(root() + "/stderr"); }

void MonitorHarness::refreshLog() {
  int fd = open(logFile().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char buf[65536];
  for (;;) {
    ssize_t n = pread(fd, buf, sizeof buf, logOffset_);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    logOffset_ += n;
    partial_.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  size_t start = 0;
  for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1)
    lines_.push_back(partial_.substr(start, nl - start));
  partial_.erase(0, start);
}

int MonitorHarness::findLine(const std::string& text, size_t from) {
  refreshLog();
  for (size_t i = from; i < lines_.size(); ++i)
    if (lines_[i].find(text) != std::string::npos) return static_cast<int>(i);
  return -1;
}

int MonitorHarness::waitLine(const std::string& text, size_t from, int timeoutSec) {
  int i = -1;
  waitUntil([&] {
    i = findLine(text, from);
    // Once the scanned lines are known not to match, only new ones need a look.
    from = std::max(from, lines_.size());
    return i >= 0;
  }, timeoutSec);
  return i;
}

int MonitorHarness::countLines(const std::string& text, size_t from) {
  refreshLog();
  int n = 0;
  for (size_t i = from; i < lines_.size(); ++i)
    if (lines_[i].find(text) != std::string::npos) ++n;
  return n;
}

std::string MonitorHarness::lineAt(size_t index) {
  refreshLog();
  return index < lines_.size() ? lines_[index] : std::string();
}

size_t MonitorHarness::lineCount() {
  refreshLog();
  return lines_.size();
}

std::vector<pid_t> MonitorHarness::componentPids(const std::string& name) const {
  return processesRunning(name.find('/') == std::string::npos ? binDir() + name : name);
}

pid_t MonitorHarness::waitComponent(const std::string& name, pid_t notPid, int timeoutSec) {
  pid_t found = -1;
  waitUntil([&] {
    std::vector<pid_t> pids = componentPids(name);
    pids.erase(std::remove(pids.begin(), pids.end(), notPid), pids.end());
    found = pids.size() == 1 ? pids[0] : -1;
    return found != -1;
  }, timeoutSec);
  return found;
}

long long MonitorHarness::restartMs(const std::string& name, int timeoutMs) {
  const pid_t old = waitComponent(name, -1, 5);
  if (old <= 0) return -1;
  size_t from = lineCount();
  const long long t0 = nowMs();
  if (kill(old, SIGKILL) != 0) return -1;
  const std::string started = "component \"" + name + "\" from application";
  for (;;) {
    for (int i = findLine(started, from); i >= 0; i = findLine(started, i + 1)) {
      from = static_cast<size_t>(i) + 1;
      if (lineAt(i).find("\" has been started") != std::string::npos) return nowMs() - t0;
    }
    if (nowMs() - t0 > timeoutMs) return -1;
    sleepMs(5);
  }
}

bool MonitorHarness::waitLines(const std::string& path, size_t n, int timeoutSec) const {
  return waitUntil([&] { return fileLines(path).size() >= n; }, timeoutSec);
}

std::vector<std::string> MonitorHarness::mails() const {
  std::vector<std::string> names;
  DIR* d = opendir(mailDir().c_str());
  if (d) {
    while (struct dirent* e = readdir(d))
      if (strncmp(e->d_name, "mail-", 5) == 0) names.push_back(e->d_name);
    closedir(d);
  }
  // "mail-<seconds>.<nanoseconds>-<pid>": the name's order is the time order.
  std::sort(names.begin(), names.end());
  std::vector<std::string> texts;
  for (const std::string& n : names) texts.push_back(readFile(mailDir() + n));
  return texts;
}

bool MonitorHarness::waitMails(size_t n, int timeoutSec) const {
  return waitUntil([&] { return mails().size() >= n; }, timeoutSec);
}

}  // namespace norvak_test
