// norvak-run: makes a program that knows nothing of the monitor a
// component.
//
//   norvak-run [--ready-delay S | --ready-tcp HOST:PORT | --ready-file PATH]
//              [--hup ignore|pass|term] [--output FILE] [--] PROGRAM [ARG...]
//
// It starts PROGRAM and stands between it and the monitor: its own standard
// output is the monitor's start pipe, held open for as long as the program
// lives; the one-space start answer is written once the program is ready by
// the chosen test (at once, without one), and never when the program ends
// first. SIGTERM, SIGINT, SIGQUIT, SIGUSR1 and SIGUSR2 are passed on;
// SIGHUP is ignored, passed on, or turned into SIGTERM. The program's output
// goes to FILE (which SIGUSR1 then reopens, instead of being passed on) or
// to norvak-run's standard error. norvak-run ends the way the program did,
// with its exit status or killed by its signal, so the monitor restarts or
// gives up on the program's own account; killed itself, it takes the
// program along.
//
// Exit statuses of its own: 6 bad command line, 126 PROGRAM cannot be run,
// 127 PROGRAM not found; in these cases the start answer is "E".
//
// Notifications: when the monitor gives norvak-run a NOTIFY_SOCKET (a
// component with a WATCHDOG line), the program gets one of norvak-run's own
// and what it sends there (READY=1, WATCHDOG=1, STATUS=..., only from the
// program's own process) is relayed, so that the monitor, which hears only
// its component's pid, hears the program. --ready-notify takes the
// program's READY=1 as the readiness test. --health-cmd CMD runs CMD (split
// at blanks, quotes group; no shell) every --health-interval seconds once
// the program is ready, and sends WATCHDOG=1 after each run that exits 0
// within the interval; the program's own WATCHDOG=1 are then not relayed.
//
// In the monitor's check modes ("--check-only" after the program's
// arguments) PROGRAM is not started: norvak-run prints "Options OK" when it
// is an executable file, and why not otherwise.

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/un.h>

#include "frame/child_process.h"
#include "frame/credited_datagram.h"
#include "frame/spawn.h"
#include "frame/utils.h"
#include "ipc/nk_unique_fd.h"

namespace {

using norvak::base::UniqueFd;
using Clock = std::chrono::steady_clock;

const char kName[] = "norvak-run";
const int kUsageStatus = 6;
const int kCannotRunStatus = 126;
const int kNotFoundStatus = 127;

const char kUsage[] =
    "Use: norvak-run [OPTION]... [--] PROGRAM [ARG]...\n"
    "Runs PROGRAM as a component of norvak-monitor: answers the monitor once\n"
    "PROGRAM is ready, keeps the start pipe open while it lives, passes signals\n"
    "on and ends the way PROGRAM ended.\n"
    "\n"
    "  --ready-delay S          ready S seconds (decimals allowed) after the start\n"
    "  --ready-tcp HOST:PORT    ready when HOST:PORT accepts a TCP connection and\n"
    "                           (on Linux) PROGRAM or a process it started listens\n"
    "                           on it (an IPv6 host in brackets: [::1]:8080)\n"
    "  --ready-file PATH        ready when PATH exists\n"
    "  --ready-notify           ready when PROGRAM sends READY=1 to NOTIFY_SOCKET\n"
    "                           (no test: ready as soon as PROGRAM is executed)\n"
    "  --hup ignore|pass|term   SIGHUP ignored (default), passed on, or sent as\n"
    "                           SIGTERM, so that the monitor restarts PROGRAM\n"
    "  --output FILE            PROGRAM's output appended to FILE, reopened on\n"
    "                           SIGUSR1, which PROGRAM then does not get (default:\n"
    "                           the standard error of norvak-run)\n"
    "  --health-cmd CMD         once ready, run CMD (no shell) every\n"
    "                           --health-interval S seconds (default 10) and send\n"
    "                           the monitor WATCHDOG=1 after each run that exits 0\n"
    "                           within S seconds\n"
    "  -h, --help               display this message\n"
    "\n"
    "Exit status: PROGRAM's own (or its signal, raised again); 6 bad command\n"
    "line, 126 PROGRAM cannot be run, 127 PROGRAM not found.\n";

struct UsageError : std::runtime_error {
  explicit UsageError(const std::string& what) : std::runtime_error(what) {}
};

enum class Ready { kExec, kDelay, kTcp, kFile, kNotify };
enum class Hup { kPass, kIgnore, kTerm };

struct Options {
  Ready ready = Ready::kExec;
  double delay = 0;
  std::string host, port;
  std::string file;
  // The monitor sends SIGHUP to every component on each of its reloads, and
  // SIGHUP ends a program that does not handle it: passing it on must be
  // asked for.
  Hup hup = Hup::kIgnore;
  std::string output;
  std::vector<std::string> command;
  bool check = false;  // the monitor's check mode
  std::string healthCmd;
  double healthInterval = 10;
};

// ---- Command line ----------------------------------------------------------

double parseSeconds(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double value = strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(value >= 0) || value > 86400)
    throw UsageError("--ready-delay wants seconds from 0 to 86400, not \"" + text + "\"");
  return value;
}

void parseHostPort(const std::string& text, Options& o) {
  std::string::size_type colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
    throw UsageError("--ready-tcp wants HOST:PORT, not \"" + text + "\"");
  o.host = text.substr(0, colon);
  o.port = text.substr(colon + 1);
  if (o.host.size() >= 2 && o.host.front() == '[' && o.host.back() == ']')
    o.host = o.host.substr(1, o.host.size() - 2);
}

Hup parseHup(const std::string& text) {
  if (text == "pass") return Hup::kPass;
  if (text == "ignore") return Hup::kIgnore;
  if (text == "term") return Hup::kTerm;
  throw UsageError("--hup wants pass, ignore or term, not \"" + text + "\"");
}

bool isAddress(const std::string& word) {
  return word.rfind("local:", 0) == 0 || word.rfind("unix:", 0) == 0 || word.rfind("inet:", 0) == 0;
}

// The monitor's check modes append "--check-only" (and, for a check against
// another agent, that agent's address) after the program's own arguments.
void takeCheckArguments(Options& o) {
  std::vector<std::string>& c = o.command;
  if (c.size() >= 2 && c.back() == "--check-only") {
    c.pop_back();
    o.check = true;
  } else if (c.size() >= 3 && c[c.size() - 2] == "--check-only" && isAddress(c.back())) {
    c.resize(c.size() - 2);
    o.check = true;
  }
}

// False when the help was asked for.
bool parseCommandLine(int argc, char** argv, Options& o) {
  int readyTests = 0;
  int i = 1;
  for (; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--") {
      ++i;
      break;
    }
    if (word == "-h" || word == "--help") return false;
    if (word.size() < 2 || word[0] != '-') break;  // PROGRAM
    std::string value;
    const std::string::size_type eq = word.find('=');
    const bool attached = word.compare(0, 2, "--") == 0 && eq != std::string::npos;
    if (attached) {
      value = word.substr(eq + 1);
      word.resize(eq);
    }
    auto takeValue = [&]() {
      if (attached) return value;
      if (i + 1 >= argc) throw UsageError("option " + word + " wants a value");
      return std::string(argv[++i]);
    };
    if (word == "--ready-delay") {
      o.ready = Ready::kDelay;
      o.delay = parseSeconds(takeValue());
      ++readyTests;
    } else if (word == "--ready-tcp") {
      o.ready = Ready::kTcp;
      parseHostPort(takeValue(), o);
      ++readyTests;
    } else if (word == "--ready-file") {
      o.ready = Ready::kFile;
      o.file = takeValue();
      if (o.file.empty()) throw UsageError("--ready-file wants a path");
      ++readyTests;
    } else if (word == "--ready-notify") {
      o.ready = Ready::kNotify;
      ++readyTests;
    } else if (word == "--health-cmd") {
      o.healthCmd = takeValue();
      if (o.healthCmd.empty()) throw UsageError("--health-cmd wants a command");
    } else if (word == "--health-interval") {
      const std::string text = takeValue();
      char* end = nullptr;
      o.healthInterval = strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !(o.healthInterval >= 0.1) || o.healthInterval > 86400)
        throw UsageError("--health-interval wants seconds from 0.1 to 86400, not \"" + text + "\"");
    } else if (word == "--hup") {
      o.hup = parseHup(takeValue());
    } else if (word == "--output") {
      o.output = takeValue();
      if (o.output.empty()) throw UsageError("--output wants a file");
    } else {
      throw UsageError("unknown option " + word);
    }
  }
  if (readyTests > 1) throw UsageError("give at most one of --ready-delay, --ready-tcp, --ready-file, --ready-notify");
  for (; i < argc; ++i) o.command.push_back(argv[i]);
  if (o.command.empty() || o.command[0].empty()) throw UsageError("no program given");
  takeCheckArguments(o);
  return true;
}

// A name without a slash is looked up in $PATH, as a shell would.
std::string findProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* env = getenv("PATH");
  const std::string path = env && *env ? env : "/usr/bin:/bin";
  std::string::size_type from = 0;
  for (;;) {
    const std::string::size_type to = path.find(':', from);
    std::string dir = path.substr(from, to == std::string::npos ? std::string::npos : to - from);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + name;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (to == std::string::npos) break;
    from = to + 1;
  }
  return name;  // exec fails with ENOENT, which is the message wanted
}

// ---- Signals ---------------------------------------------------------------

// Handlers only note the signal in a pipe; the loop below reads it, so that
// relaying and reaping happen in one place and a pid is never signalled
// after it was reaped.
int gSignalPipe = -1;

void noteSignal(int sig) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(sig);
  ssize_t w;
  do {
    w = write(gSignalPipe, &byte, 1);
  } while (w < 0 && errno == EINTR);
  errno = saved;
}

const int kRelayed[] = {SIGTERM, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGHUP};

sigset_t handledSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kRelayed) sigaddset(&set, sig);
  sigaddset(&set, SIGCHLD);
  return set;
}

void installHandlers() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = noteSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : kRelayed) sigaction(sig, &action, nullptr);
  action.sa_flags = SA_NOCLDSTOP;
  sigaction(SIGCHLD, &action, nullptr);
  // A monitor gone away must not kill us on the answer's write.
  signal(SIGPIPE, SIG_IGN);
}

// Ends this process the way the program ended.
[[noreturn]] void endLike(const ExitStatus& status) {
  if (status.exited) _exit(status.code);
  const int sig = status.signal > 0 ? status.signal : SIGKILL;
  // The program has left its core already; a second one would only mislead.
  struct rlimit none = {0, 0};
  setrlimit(RLIMIT_CORE, &none);
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(128 + sig);  // a signal that does not end a process
}

// ---- Start answer ----------------------------------------------------------

void answer(char byte) {
  // Typed at a terminal the answer would only be noise.
  if (byte != ' ' && isatty(STDOUT_FILENO)) return;
  ssize_t w;
  do {
    w = write(STDOUT_FILENO, &byte, 1);
  } while (w < 0 && errno == EINTR);
}

[[noreturn]] void failStart(int status, const std::string& message) {
  std::cerr << kName << ": " << message << std::endl;
  answer('E');
  _exit(status);
}

// ---- Readiness -------------------------------------------------------------

// One non-blocking connection attempt after another, each to the next
// address of the host, until one is accepted.
class TcpProbe {
 public:
  TcpProbe(const std::string& host, const std::string& port) : host_(host), port_(port) {}
  ~TcpProbe() {
    if (addresses_) freeaddrinfo(addresses_);
  }

  // Descriptor to wait on for the attempt under way; -1 between attempts.
  int fd() const { return socket_.get(); }

  // Starts an attempt; true when it has connected already.
  bool start() {
    resolve();
    socket_.reset();
    if (!addresses_) return false;
    if (!next_) next_ = addresses_;
    const struct addrinfo* a = next_;
    next_ = next_->ai_next;
    UniqueFd s(socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!s) return false;
    int r;
    do {
      r = connect(s.get(), a->ai_addr, a->ai_addrlen);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return true;
    if (errno == EINPROGRESS) socket_ = std::move(s);
    return false;
  }

  // The addresses of the host; empty until the name resolves.
  std::vector<const struct addrinfo*> addresses() {
    resolve();
    std::vector<const struct addrinfo*> all;
    for (const struct addrinfo* a = addresses_; a; a = a->ai_next) all.push_back(a);
    return all;
  }

  // The attempt under way has finished; true when it connected.
  bool finish() {
    int error = 0;
    socklen_t len = sizeof error;
    const bool ok = getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
    socket_.reset();
    return ok;
  }

  void abandon() { socket_.reset(); }

 private:
  // Names are looked up again until they resolve: the program may be the
  // one that makes them known.
  void resolve() {
    if (addresses_) return;
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    if (getaddrinfo(host_.c_str(), port_.c_str(), &hints, &addresses_) != 0) addresses_ = nullptr;
    next_ = addresses_;
  }

  std::string host_, port_;
  struct addrinfo* addresses_ = nullptr;
  const struct addrinfo* next_ = nullptr;
  UniqueFd socket_;
};

// A connection accepted proves only that someone listens: another process
// that holds the port (an old instance, a stray test server) would have the
// program answered ready just before it fails on "Address already in use".
// Where the kernel lists its sockets in /proc (Linux), a listener counts
// only when one of the program's processes holds it. Each check reads the
// kernel's tables and some of /proc, so its work is capped; past the caps
// the port simply does not count yet.
class ListenerOwner {
 public:
  // Without the tables (FreeBSD) the connection alone decides.
  static bool available() { return access("/proc/net/tcp", R_OK) == 0; }

  ListenerOwner() {
    const std::string self = std::to_string(getpid());
    childrenFiles_ = access(("/proc/" + self + "/task/" + self + "/children").c_str(), R_OK) == 0;
  }

  // Inodes of the listening sockets that a connection to one of the
  // addresses would reach.
  std::vector<unsigned long> listeners(const std::vector<const struct addrinfo*>& targets) const {
    std::vector<Endpoint> wanted;
    for (const struct addrinfo* a : targets) {
      Endpoint e;
      if (fromSockaddr(a->ai_addr, a->ai_addrlen, e)) wanted.push_back(e);
    }
    std::vector<unsigned long> inodes;
    if (wanted.empty()) return inodes;
    scanTable("/proc/net/tcp", false, wanted, inodes);
    scanTable("/proc/net/tcp6", true, wanted, inodes);
    return inodes;
  }

  // True when root or a process below it holds one of the sockets.
  bool heldBy(pid_t root, const std::vector<unsigned long>& inodes) const {
    size_t links = 0;
    for (pid_t pid : family(root)) {
      const std::string dirName = "/proc/" + std::to_string(pid) + "/fd";
      DIR* dir = opendir(dirName.c_str());
      if (!dir) continue;  // gone meanwhile, or not ours to look at
      bool found = false;
      while (struct dirent* e = readdir(dir)) {
        if (parseNumber(e->d_name) < 0) continue;
        if (++links > kMaxLinks) break;
        char target[64];
        const ssize_t n = readlink((dirName + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        unsigned long inode;
        char close;
        if (sscanf(target, "socket:[%lu%c", &inode, &close) == 2 && close == ']' &&
            std::find(inodes.begin(), inodes.end(), inode) != inodes.end()) {
          found = true;
          break;
        }
      }
      closedir(dir);
      if (found) return true;
      if (links > kMaxLinks) break;
    }
    return false;
  }

 private:
  // An address as the kernel's tables show it; IPv4 also when it came
  // mapped into IPv6.
  struct Endpoint {
    int family = AF_UNSPEC;
    unsigned char addr[16] = {};
    unsigned port = 0;

    bool any() const {
      const size_t len = family == AF_INET ? 4 : 16;
      return std::all_of(addr, addr + len, [](unsigned char b) { return b == 0; });
    }
    bool sameAddress(const Endpoint& o) const {
      return family == o.family && memcmp(addr, o.addr, family == AF_INET ? 4 : 16) == 0;
    }
    void unmap() {
      static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
      if (family != AF_INET6 || memcmp(addr, kMapped, 12) != 0) return;
      memmove(addr, addr + 12, 4);
      memset(addr + 4, 0, 12);
      family = AF_INET;
    }
  };

  static const size_t kMaxRows = 65536;
  static const size_t kMaxProcesses = 4096;
  static const size_t kMaxLinks = 65536;

  static bool fromSockaddr(const struct sockaddr* sa, socklen_t len, Endpoint& e) {
    if (sa->sa_family == AF_INET && len >= sizeof(struct sockaddr_in)) {
      const auto* in = reinterpret_cast<const struct sockaddr_in*>(sa);
      e.family = AF_INET;
      memcpy(e.addr, &in->sin_addr, 4);
      e.port = ntohs(in->sin_port);
    } else if (sa->sa_family == AF_INET6 && len >= sizeof(struct sockaddr_in6)) {
      const auto* in6 = reinterpret_cast<const struct sockaddr_in6*>(sa);
      e.family = AF_INET6;
      memcpy(e.addr, &in6->sin6_addr, 16);
      e.port = ntohs(in6->sin6_port);
      e.unmap();
    } else {
      return false;
    }
    return true;
  }

  // A listener bound to the wildcard takes every address of its family, and
  // an IPv6 one IPv4 too (unless IPV6_V6ONLY, which the tables do not show:
  // the connection made afterwards settles it).
  static bool reaches(const Endpoint& listener, const Endpoint& target) {
    if (listener.port != target.port) return false;
    if (target.any()) return true;  // a connection to it goes to this host
    if (listener.family == target.family) return listener.any() || listener.sameAddress(target);
    return listener.family == AF_INET6 && target.family == AF_INET && listener.any();
  }

  // Decimal digits only; -1 otherwise.
  static long parseNumber(const char* text) {
    if (!*text || strlen(text) > 9) return -1;
    for (const char* c = text; *c; ++c) {
      if (*c < '0' || *c > '9') return -1;
    }
    return atol(text);
  }

  // "0100007F:1F90" (tcp) or 32 hex digits and a port (tcp6); each group of
  // 8 digits is a 32-bit word of the address as it lies in memory.
  static bool parseLocal(const char* text, bool v6, Endpoint& e) {
    const size_t digits = v6 ? 32 : 8;
    if (strlen(text) != digits + 5 || text[digits] != ':') return false;
    for (size_t i = 0; i < digits + 5; ++i) {
      if (i != digits && !isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    for (size_t word = 0; word < digits / 8; ++word) {
      char hex[9];
      memcpy(hex, text + word * 8, 8);
      hex[8] = '\0';
      const uint32_t value = static_cast<uint32_t>(strtoul(hex, nullptr, 16));
      memcpy(e.addr + word * 4, &value, 4);
    }
    e.port = static_cast<unsigned>(strtoul(text + digits + 1, nullptr, 16));
    e.family = v6 ? AF_INET6 : AF_INET;
    e.unmap();
    return true;
  }

  static void scanTable(const char* path, bool v6, const std::vector<Endpoint>& wanted,
                        std::vector<unsigned long>& inodes) {
    const int kListen = 0x0A, kSynRecv = 0x03;
    FILE* f = fopen(path, "re");
    if (!f) return;  // no IPv6 on this machine
    char line[512];
    // The heading, then the rows.
    if (!fgets(line, sizeof line, f)) {
      fclose(f);
      return;
    }
    for (size_t rows = 0; rows < kMaxRows && fgets(line, sizeof line, f); ++rows) {
      char local[64];
      unsigned state;
      unsigned long inode;
      if (sscanf(line, "%*s %63s %*s %x %*s %*s %*s %*s %*s %lu", local, &state, &inode) != 3) continue;
      // The kernel lists its listening sockets first (older kernels with the
      // half-open connections of each); the rest are connections, and a busy
      // server has many of them.
      if (state != static_cast<unsigned>(kListen)) {
        if (state == static_cast<unsigned>(kSynRecv)) continue;
        break;
      }
      Endpoint e;
      if (!parseLocal(local, v6, e) || inode == 0) continue;
      for (const Endpoint& w : wanted) {
        if (reaches(e, w)) {
          inodes.push_back(inode);
          break;
        }
      }
    }
    fclose(f);
  }

  // The children of each thread of pid.
  void childrenOf(pid_t pid, std::vector<pid_t>& out) const {
    const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(taskDir.c_str());
    if (!dir) return;
    while (struct dirent* e = readdir(dir)) {
      if (parseNumber(e->d_name) < 0) continue;
      FILE* f = fopen((taskDir + "/" + e->d_name + "/children").c_str(), "re");
      if (!f) continue;
      long child;
      while (out.size() < kMaxProcesses && fscanf(f, "%ld", &child) == 1) {
        if (child > 0) out.push_back(static_cast<pid_t>(child));
      }
      fclose(f);
    }
    closedir(dir);
  }

  // Every process's parent, from /proc/PID/stat, where the kernel has no
  // children lists.
  static std::vector<std::pair<pid_t, pid_t>> parents() {
    std::vector<std::pair<pid_t, pid_t>> all;
    DIR* dir = opendir("/proc");
    if (!dir) return all;
    while (struct dirent* e = readdir(dir)) {
      const long pid = parseNumber(e->d_name);
      if (pid <= 0) continue;
      if (all.size() >= 8 * kMaxProcesses) break;
      FILE* f = fopen((std::string("/proc/") + e->d_name + "/stat").c_str(), "re");
      if (!f) continue;
      char stat[1024];
      const size_t n = fread(stat, 1, sizeof stat - 1, f);
      fclose(f);
      stat[n] = '\0';
      // The command name in parentheses may hold anything, parentheses too.
      const char* paren = strrchr(stat, ')');
      long ppid;
      if (paren && sscanf(paren + 1, " %*c %ld", &ppid) == 1)
        all.emplace_back(static_cast<pid_t>(pid), static_cast<pid_t>(ppid));
    }
    closedir(dir);
    return all;
  }

  // root and the processes below it.
  std::vector<pid_t> family(pid_t root) const {
    std::vector<pid_t> found{root};
    std::vector<std::pair<pid_t, pid_t>> links;
    if (!childrenFiles_) links = parents();
    for (size_t i = 0; i < found.size() && found.size() < kMaxProcesses; ++i) {
      std::vector<pid_t> next;
      if (childrenFiles_) {
        childrenOf(found[i], next);
      } else {
        for (const auto& l : links) {
          if (l.second == found[i]) next.push_back(l.first);
        }
      }
      for (pid_t p : next) {
        if (std::find(found.begin(), found.end(), p) == found.end()) found.push_back(p);
      }
    }
    return found;
  }

  bool childrenFiles_ = false;
};

// ---- Output file -----------------------------------------------------------

// The program writes into a pipe and norvak-run appends to the file: once a
// rotation has renamed the file, the program's own descriptors could not be
// moved to a new one, norvak-run's can (SIGUSR1).
class OutputFile {
 public:
  explicit OutputFile(const std::string& path) : path_(path) {
    file_.reset(openFile());
    if (!file_) failStart(kCannotRunStatus, "cannot open " + path_ + ": " + strerror(errno));
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) failStart(kCannotRunStatus, std::string("pipe: ") + strerror(errno));
    read_.reset(p[0]);
    write_.reset(p[1]);
    fcntl(read_.get(), F_SETFL, fcntl(read_.get(), F_GETFL) | O_NONBLOCK);
  }

  // The program's standard output and error.
  int programEnd() const { return write_.get(); }
  // Once the program has its copy: end of file then means that every
  // process that could write has gone.
  void programStarted() { write_.reset(); }

  // To wait on; -1 once every writer has gone.
  int fd() const { return read_.get(); }

  // Copies what the pipe holds. Bounded, so that a chatty program neither
  // holds up signals nor, at the end, a descendant that keeps the pipe
  // open keeps norvak-run alive.
  void pump(size_t budget) {
    char buf[16384];
    size_t got = 0;
    while (read_ && got < budget) {
      const ssize_t n = read(read_.get(), buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n <= 0) {
        read_.reset();
        return;
      }
      got += static_cast<size_t>(n);
      append(buf, static_cast<size_t>(n));
    }
  }

  // Left as it is when the file cannot be opened: the output goes on into
  // the old one rather than nowhere.
  void reopen() {
    UniqueFd fresh(openFile());
    if (!fresh) {
      std::cerr << kName << ": cannot reopen " << path_ << ": " << strerror(errno)
                << "; writing on into the file opened before" << std::endl;
      return;
    }
    file_ = std::move(fresh);
    failing_ = false;
  }

 private:
  int openFile() const { return open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640); }

  // A full disk loses output rather than stopping the program on a full
  // pipe; said once until a write succeeds again.
  void append(const char* data, size_t size) {
    while (size > 0) {
      const ssize_t w = write(file_.get(), data, size);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        if (!failing_) std::cerr << kName << ": cannot write " << path_ << ": " << strerror(errno) << std::endl;
        failing_ = true;
        return;
      }
      failing_ = false;
      data += w;
      size -= static_cast<size_t>(w);
    }
  }

  std::string path_;
  UniqueFd file_, read_, write_;
  bool failing_ = false;
};

// ---- Notifications ---------------------------------------------------------

// A Unix datagram address as NOTIFY_SOCKET gives it ("@name": abstract).
bool notifyAddress(const std::string& text, struct sockaddr_un& addr, socklen_t& length) {
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (text.empty() || text.size() >= sizeof addr.sun_path) return false;
  memcpy(addr.sun_path, text.data(), text.size());
  if (text[0] == '@') addr.sun_path[0] = '\0';
  length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + text.size() +
                                  (text[0] == '@' ? 0 : 1));
  return true;
}

// Stands between the program and the monitor's notification socket: the
// program gets an address of ours, and what its own process sends there is
// sent on from ours, the pid the monitor hears.
class NotifyRelay {
 public:
  // Without a socket above, only when the program's READY=1 is wanted.
  explicit NotifyRelay(bool always) {
    const char* upstream = getenv("NOTIFY_SOCKET");
    if (upstream && *upstream && notifyAddress(upstream, up_, upLength_))
      out_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!out_ && !always) return;
    in_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!in_) return;
#if defined(__linux__)
    address_ = "@norvak-run." + std::to_string(getpid()) + ".notify";
#else
    const char* tmp = getenv("TMPDIR");
    address_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/norvak-run." + std::to_string(getpid()) + ".notify";
    path_ = address_;
    unlink(path_.c_str());
#endif
    struct sockaddr_un addr;
    socklen_t length;
    const int on = 1;
    if (!notifyAddress(address_, addr, length) ||
        bind(in_.get(), reinterpret_cast<struct sockaddr*>(&addr), length) != 0 ||
#if defined(__linux__)
        setsockopt(in_.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0
#elif defined(__FreeBSD__)
        setsockopt(in_.get(), 0, LOCAL_CREDS_PERSISTENT, &on, sizeof on) != 0
#else
        true
#endif
    ) {
      std::cerr << kName << ": notification socket: " << strerror(errno) << std::endl;
      in_.reset();
      address_.clear();
      return;
    }
    if (!path_.empty()) chmod(path_.c_str(), 0666);
  }
  ~NotifyRelay() {
    if (!path_.empty()) unlink(path_.c_str());
  }

  bool upstream() const { return static_cast<bool>(out_); }
  // What the program's NOTIFY_SOCKET is to be; empty: none of ours.
  const std::string& address() const { return address_; }
  int fd() const { return in_.get(); }

  void send(const std::string& message) const {
    if (!out_) return;
    sendto(out_.get(), message.data(), message.size(), MSG_NOSIGNAL,
           reinterpret_cast<const struct sockaddr*>(&up_), upLength_);
  }

  // Relays what the program sent; sets ready on its READY=1. Its own
  // WATCHDOG=1 go on unless a health command speaks for it.
  void relay(pid_t program, bool passWatchdog, bool& ready) {
    char data[4096];
    for (int taken = 0; taken < 64; ++taken) {
      pid_t sender = -1;
      const ssize_t n = receiveCreditedDatagram(in_.get(), data, sizeof data, sender);
      if (n < 0) return;
      if (sender != program) continue;
      std::string forward;
      const std::string message(data, static_cast<size_t>(n));
      std::string::size_type begin = 0;
      while (begin < message.size()) {
        std::string::size_type end = message.find('\n', begin);
        if (end == std::string::npos) end = message.size();
        const std::string line = message.substr(begin, end - begin);
        begin = end + 1;
        if (line == "READY=1") ready = true;
        const bool watchdog = line.compare(0, 9, "WATCHDOG=") == 0;
        if (line == "READY=1" || line.compare(0, 7, "STATUS=") == 0 || (watchdog && passWatchdog))
          forward += line + "\n";
      }
      if (!forward.empty()) send(forward);
    }
  }

 private:
  UniqueFd in_, out_;
  struct sockaddr_un up_;
  socklen_t upLength_ = 0;
  std::string address_;
  std::string path_;
};

// The health command: run every interval once the program is ready; each
// run that exits 0 before the next is due feeds the monitor's watchdog.
class HealthCommand {
 public:
  HealthCommand(const Options& o, int outputFd) : interval_(o.healthInterval), outputFd_(outputFd) {
    std::vector<std::string> words;
    Utils::splitArgs("", o.healthCmd, words);
    argv_.assign(words.begin() + 1, words.end());
  }
  bool active() const { return !argv_.empty(); }

  // Starts, reaps and kills as due; the time of its next step.
  Clock::time_point step(const NotifyRelay& relay) {
    const Clock::time_point now = Clock::now();
    if (child_) {
      ExitStatus status;
      if (child_.tryReap(&status)) {
        if (status.exited && status.code == 0) relay.send("WATCHDOG=1");
      } else if (now >= next_) {
        // Too slow counts as failed: it goes with what it started.
        child_.signalGroup(SIGKILL);
        child_.wait();
      } else {
        return next_;
      }
    }
    if (now < next_) return next_;
    next_ = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval_));
    SpawnPlan plan;
    plan.path = findProgram(argv_[0]);
    plan.argv = argv_;
    plan.stdoutFd = outputFd_;
    plan.stderrFd = outputFd_;
    plan.newSession = true;
    plan.clearSignalMask = true;
    plan.defaultSignals.assign(std::begin(kRelayed), std::end(kRelayed));
    plan.defaultSignals.push_back(SIGCHLD);
    plan.defaultSignals.push_back(SIGPIPE);
    try {
      child_ = spawn(plan);
    } catch (const std::exception& e) {
      std::cerr << kName << ": health command: " << e.what() << std::endl;
    }
    return next_;
  }
  ~HealthCommand() {
    if (child_) child_.signalGroup(SIGKILL);
  }

 private:
  std::vector<std::string> argv_;
  double interval_;
  int outputFd_;
  ChildProcess child_;
  Clock::time_point next_ = Clock::time_point::min();
};

// ---- The program -----------------------------------------------------------

struct Launch {
  ChildProcess child;
  UniqueFd report;  // end-of-file once the program is executed
};

Launch launch(const Options& o, int outputFd, const std::string& notifySocket) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) failStart(kCannotRunStatus, std::string("pipe: ") + strerror(errno));
  UniqueFd reportRead(report[0]), reportWrite(report[1]);

  SpawnPlan plan;
  plan.path = findProgram(o.command[0]);
  plan.argv = o.command;
  plan.stdinFd = SpawnPlan::kInherit;
  plan.stdoutFd = outputFd;
  plan.stderrFd = outputFd;
  plan.reportFd = reportWrite.get();
  plan.clearSignalMask = true;
  plan.defaultSignals.assign(std::begin(kRelayed), std::end(kRelayed));
  plan.defaultSignals.push_back(SIGCHLD);
  plan.defaultSignals.push_back(SIGPIPE);
  plan.parentDeathSignal = SIGKILL;
  plan.exec.message = "cannot execute " + plan.path;
  if (!notifySocket.empty()) plan.extraEnvironment.push_back("NOTIFY_SOCKET=" + notifySocket);

  // A signal that arrives while the child is between fork and exec must hit
  // it with the default action, not run our handler in it: blocked here, it
  // stays pending in the child until its dispositions are reset.
  const sigset_t set = handledSet();
  sigset_t old;
  sigprocmask(SIG_BLOCK, &set, &old);
  Launch l;
  try {
    l.child = spawn(plan);
  } catch (const std::exception& e) {
    sigprocmask(SIG_SETMASK, &old, nullptr);
    failStart(kCannotRunStatus, e.what());
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  l.report = std::move(reportRead);
  return l;
}

// The child's record of a failed step: "E", NUL, message, "\n", errno.
[[noreturn]] void execFailed(Launch& l, const std::string& record) {
  std::string message = "cannot start the program";
  int err = 0;
  const std::string::size_type nl = record.find('\n');
  if (record.size() > 2 && nl != std::string::npos) {
    message = record.substr(2, nl - 2);
    err = atoi(record.c_str() + nl + 1);
  }
  if (err != 0) message += std::string(": ") + strerror(err);
  l.child.wait();  // reaped already when it ended before we looked
  failStart(err == ENOENT ? kNotFoundStatus : kCannotRunStatus, message);
}

int run(const Options& o) {
  int signalPipe[2];
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    failStart(kCannotRunStatus, std::string("pipe: ") + strerror(errno));
  UniqueFd signalRead(signalPipe[0]), signalWrite(signalPipe[1]);
  gSignalPipe = signalWrite.get();
  installHandlers();

  std::unique_ptr<OutputFile> output;
  if (!o.output.empty()) output.reset(new OutputFile(o.output));
  const size_t kOutputTurn = 256 * 1024, kOutputRest = 4 * 1024 * 1024;

  NotifyRelay relay(o.ready == Ready::kNotify);
  if (!o.healthCmd.empty() && !relay.upstream())
    std::cerr << kName << ": --health-cmd: no NOTIFY_SOCKET to feed (the component has no WATCHDOG)"
              << std::endl;
  Launch l = launch(o, output ? output->programEnd() : STDERR_FILENO, relay.address());
  HealthCommand health(o, output ? output->programEnd() : STDERR_FILENO);
  bool notifiedReady = false;
  if (output) output->programStarted();
  // What the program wrote last often tells why it ended.
  auto end = [&](const ExitStatus& status) {
    if (output) output->pump(kOutputRest);
    endLike(status);
  };

  // Until the program is executed nothing is tested; afterwards the test
  // runs on a back-off from 10 ms to 100 ms.
  bool executed = false;
  bool ready = false;
  std::string record;
  Clock::time_point nextTest = Clock::now();
  std::chrono::milliseconds pause(10);
  const std::chrono::milliseconds kMaxPause(100);
  Clock::time_point attemptEnd = Clock::now();
  TcpProbe probe(o.host, o.port);
  const bool checkOwner = o.ready == Ready::kTcp && ListenerOwner::available();
  ListenerOwner owner;
  // Said once, when someone else has held the port for a while.
  Clock::time_point foreignSince = Clock::time_point::max();
  bool foreignTold = false;
  auto listensItself = [&]() {
    if (!checkOwner) return true;
    const std::vector<unsigned long> inodes = owner.listeners(probe.addresses());
    if (!inodes.empty() && owner.heldBy(l.child.pid(), inodes)) return true;
    if (inodes.empty()) {
      foreignSince = Clock::time_point::max();
    } else if (foreignSince == Clock::time_point::max()) {
      foreignSince = Clock::now();
    } else if (!foreignTold && Clock::now() - foreignSince >= std::chrono::seconds(1)) {
      foreignTold = true;
      std::cerr << kName << ": " << o.host << ":" << o.port << " is held by another process; waiting for "
                << o.command[0] << " to listen on it" << std::endl;
    }
    return false;
  };

  auto becomeReady = [&]() {
    ready = true;
    probe.abandon();
    answer(' ');
  };
  auto afterFailedTest = [&]() {
    nextTest = Clock::now() + pause;
    pause = std::min(pause * 2, kMaxPause);
  };

  for (;;) {
    struct pollfd fds[5];
    nfds_t n = 0;
    fds[n++] = {signalRead.get(), POLLIN, 0};
    const bool watchRelay = relay.fd() >= 0;
    const nfds_t relayAt = n;
    if (watchRelay) fds[n++] = {relay.fd(), POLLIN, 0};
    const bool watchReport = static_cast<bool>(l.report);
    const nfds_t reportAt = n;
    if (watchReport) fds[n++] = {l.report.get(), POLLIN, 0};
    const bool watchOutput = output && output->fd() >= 0;
    const nfds_t outputAt = n;
    if (watchOutput) fds[n++] = {output->fd(), POLLIN, 0};
    const bool watchProbe = !ready && probe.fd() >= 0;
    const nfds_t probeAt = n;
    if (watchProbe) fds[n++] = {probe.fd(), POLLOUT, 0};

    int timeout = -1;
    // READY=1 wakes the loop by itself.
    if (executed && !ready && o.ready != Ready::kNotify) {
      const Clock::time_point due = watchProbe ? attemptEnd : nextTest;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
      timeout = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(left + 1, 1000)));
    }
    if (ready && health.active()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(health.step(relay) - Clock::now()).count();
      const int wait = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(left + 1, 1000)));
      timeout = timeout < 0 ? wait : std::min(timeout, wait);
    }
    if (poll(fds, n, timeout) < 0 && errno != EINTR) {
      std::cerr << kName << ": poll: " << strerror(errno) << std::endl;
      l.child.kill(SIGTERM);
      end(l.child.wait());
    }

    // Signals first: a program that has ended is never reported ready.
    unsigned char sigs[64];
    ssize_t got;
    while ((got = read(signalRead.get(), sigs, sizeof sigs)) > 0) {
      for (ssize_t k = 0; k < got; ++k) {
        const int sig = sigs[k];
        if (sig == SIGCHLD) continue;
        if (sig == SIGHUP && o.hup == Hup::kIgnore) continue;
        // Taken, not passed on: it would end most programs.
        if (sig == SIGUSR1 && output) {
          output->reopen();
          continue;
        }
        l.child.kill(sig == SIGHUP && o.hup == Hup::kTerm ? SIGTERM : sig);
      }
    }
    ExitStatus status;
    if (l.child.tryReap(&status)) {
      if (!executed && l.report) {
        // The record of a failed exec may still sit in the pipe.
        char buf[1200];
        ssize_t r;
        while ((r = read(l.report.get(), buf, sizeof buf)) > 0) record.append(buf, static_cast<size_t>(r));
        if (!record.empty()) execFailed(l, record);
      }
      end(status);
    }
    if (watchOutput && (fds[outputAt].revents & (POLLIN | POLLHUP | POLLERR))) output->pump(kOutputTurn);
    if (watchRelay && (fds[relayAt].revents & POLLIN))
      relay.relay(l.child.pid(), !health.active(), notifiedReady);

    if (watchReport && (fds[reportAt].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[1200];
      ssize_t r;
      do {
        r = read(l.report.get(), buf, sizeof buf);
      } while (r < 0 && errno == EINTR);
      if (r > 0) {
        record.append(buf, static_cast<size_t>(r));
      } else {
        l.report.reset();
        if (!record.empty()) execFailed(l, record);
        executed = true;
        if (o.ready == Ready::kExec) becomeReady();
        if (o.ready == Ready::kDelay)
          nextTest = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.delay));
      }
    }
    if (!executed || ready) continue;

    const Clock::time_point now = Clock::now();
    switch (o.ready) {
      case Ready::kExec:
        break;
      case Ready::kNotify:
        if (notifiedReady) becomeReady();
        break;
      case Ready::kDelay:
        if (now >= nextTest) becomeReady();
        break;
      case Ready::kFile:
        if (now >= nextTest) {
          struct stat st;
          if (stat(o.file.c_str(), &st) == 0) {
            becomeReady();
          } else {
            afterFailedTest();
          }
        }
        break;
      case Ready::kTcp:
        if (watchProbe && probe.fd() >= 0) {
          if (fds[probeAt].revents != 0) {
            if (probe.finish()) {
              becomeReady();
            } else {
              afterFailedTest();
            }
          } else if (now >= attemptEnd) {
            // No answer at all (a filtered port): try again afresh.
            probe.abandon();
            afterFailedTest();
          }
        } else if (now >= nextTest) {
          if (!listensItself()) {
            afterFailedTest();
          } else if (probe.start()) {
            becomeReady();
          } else if (probe.fd() >= 0) {
            attemptEnd = now + std::chrono::seconds(1);
          } else {
            afterFailedTest();
          }
        }
        break;
    }
  }
}

// A program that knows nothing of the monitor cannot check its options;
// what can be checked is that it would start at all.
int check(const Options& o) {
  const std::string path = findProgram(o.command[0]);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    std::cout << kName << ": " << path << ": " << strerror(errno) << std::endl;
    return 1;
  }
  if (!S_ISREG(st.st_mode) || access(path.c_str(), X_OK) != 0) {
    std::cout << kName << ": " << path << " is not an executable file" << std::endl;
    return 1;
  }
  std::cout << "Options OK" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    if (!parseCommandLine(argc, argv, options)) {
      std::cout << kUsage;
      return 0;
    }
  } catch (const UsageError& e) {
    std::cerr << kName << ": " << e.what() << "\nTry '" << kName << " --help' for more options"
              << std::endl;
    answer('E');
    return kUsageStatus;
  }
  if (options.check) return check(options);
  return run(options);
}
