// fake-agent: a stand-in for the suite's configuration agent, for tests and
// the demo. It is a well-behaved supervised program (one-byte start answer on
// standard output, kept open while it runs; SIGHUP re-reads its data file;
// SIGTERM ends it and removes its socket) that listens on its address with
// the IPC library's server session and
//   - answers configuration requests (protocol 8195) from its data file,
//   - takes StartApp (8201) and StopApp (8202) notifications,
// and appends every request it receives, with its fields, to a record file.
//
//   --listen ADDR        address to listen on ("local:/path", "inet:port@host")
//   --socket ADDR        the same; added by the monitor for a temporary agent,
//                        so it wins over --listen
//   --pid-file PATH      written at start (pid, then the address), removed at
//                        the end
//   --data PATH          the answers, read at start and on SIGHUP
//   --record PATH        where the requests are recorded
//   --start-delay=MS     wait this long before listening and answering, as
//                        an agent that is slow to come up
//   --check-only         check mode: report on the data file, print
//                        "Options OK" when it is good, and end
//   --check-only ADDR    check mode of a component that checks its options
//                        against the agent at ADDR: one configuration request
//                        (number --check-request=N, default 44), "Options OK"
//                        when it is answered
//
// Data file: sections named by request number, "key = value" lines in the
// order they are sent (a key may repeat); "#" starts a comment line.
//
//   [44]
//   notifier/adminmail = postmaster@example.org
//   [46]
//   monitor/runapplist = MAILD,WEB
//
// Keys starting with "@" shape a section's answer for fault tests instead:
//   @type = N            reply type (2 when absent)
//   @code = N            response code (1 when absent)
//   @count = N           the count announced, whatever pairs follow
//   @string-length = N   count 1, then a key announcing N bytes, and no more
//   @delay-ms = N        wait this long before answering
//   @close = yes         drop the connection without an answer
// A request number without a section gets type 2, code 1 and no pairs.
//
// Record file, one tab-separated line per event:
//   Listening ADDR | Config TYPE NUMBER CLIENT PID |
//   StartApp NAME PID PERMISSIONS ARGUMENTS | StopApp NAME PID | Reload ok|error

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ipc/nk_client_session.h"
#include "ipc/nk_conn_settings.h"
#include "ipc/nk_ddp_unit.h"
#include "ipc/nk_deadline.h"
#include "ipc/nk_exception.h"
#include "ipc/nk_persistent_client_pool_manager.h"
#include "ipc/nk_persistent_server_pool_manager.h"
#include "ipc/nk_server_protocol.h"
#include "ipc/nk_server_session.h"
#include "ipc/nk_timeout.h"
#include "protocols/nk_config_client.h"
#include "protocols/nk_start_app.h"
#include "protocols/nk_stop_app.h"

namespace {

using norvak::base::NkDeadline;
using norvak::base::NkTimeout;
using norvak::ipc::NkDdpUnit;

struct Options {
  std::string address;
  std::string socket;
  std::string pidFile;
  std::string dataFile;
  std::string recordFile;
  long startDelayMs = 0;
  bool checkOnly = false;
  std::string checkAgainst;
  int checkRequest = 44;
};

Options parseArgs(int argc, char** argv) {
  Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasNext = i + 1 < args.size();
    if (a == "--listen" && hasNext) {
      o.address = args[++i];
    } else if (a == "--socket" && hasNext) {
      o.socket = args[++i];
    } else if (a == "--pid-file" && hasNext) {
      o.pidFile = args[++i];
    } else if (a == "--data" && hasNext) {
      o.dataFile = args[++i];
    } else if (a == "--record" && hasNext) {
      o.recordFile = args[++i];
    } else if (a.rfind("--start-delay=", 0) == 0) {
      o.startDelayMs = strtol(a.c_str() + strlen("--start-delay="), nullptr, 10);
    } else if (a.rfind("--check-request=", 0) == 0) {
      o.checkRequest = atoi(a.c_str() + strlen("--check-request="));
    } else if (a == "--check-only") {
      o.checkOnly = true;
      if (hasNext && args[i + 1].rfind("--", 0) != 0) o.checkAgainst = args[++i];
    }
  }
  if (!o.socket.empty()) o.address = o.socket;
  return o;
}

std::string trim(const std::string& s) {
  const char* blanks = " \t\r\n";
  const size_t b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

// ---- The answers --------------------------------------------------------------

struct Section {
  int number = 0;
  std::vector<std::pair<std::string, std::string>> pairs;
  int32_t type = 2;
  int32_t code = 1;
  bool countSet = false;
  int32_t count = 0;
  bool stringLengthSet = false;
  int32_t stringLength = 0;
  long delayMs = 0;
  bool close = false;
};

struct Data {
  std::vector<Section> sections;
  const Section* find(int number) const {
    for (const Section& s : sections)
      if (s.number == number) return &s;
    return nullptr;
  }
};

// Integers as C reads them, so that 0xFFFFFFFF can be written as such.
int32_t number(const std::string& text) {
  return static_cast<int32_t>(static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 0)));
}

std::shared_ptr<const Data> readData(const std::string& path) {
  auto data = std::make_shared<Data>();
  if (path.empty()) return data;
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path + ": " + strerror(errno));
  std::string line;
  int lineNo = 0;
  Section* current = nullptr;
  while (std::getline(in, line)) {
    ++lineNo;
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      data->sections.emplace_back();
      current = &data->sections.back();
      current->number = atoi(line.c_str() + 1);
      continue;
    }
    const size_t eq = line.find('=');
    if (!current || eq == std::string::npos) {
      throw std::runtime_error(path + ":" + std::to_string(lineNo) + ": expected key = value");
    }
    const std::string key = trim(line.substr(0, eq));
    const std::string value = trim(line.substr(eq + 1));
    if (key == "@type") {
      current->type = number(value);
    } else if (key == "@code") {
      current->code = number(value);
    } else if (key == "@count") {
      current->countSet = true;
      current->count = number(value);
    } else if (key == "@string-length") {
      current->stringLengthSet = true;
      current->stringLength = number(value);
    } else if (key == "@delay-ms") {
      current->delayMs = strtol(value.c_str(), nullptr, 10);
    } else if (key == "@close") {
      current->close = value == "yes";
    } else {
      current->pairs.emplace_back(key, value);
    }
  }
  return data;
}

// ---- The record ---------------------------------------------------------------

class Record {
 public:
  explicit Record(std::string path) : path_(std::move(path)) {}
  void write(const std::vector<std::string>& fields) {
    if (path_.empty()) return;
    std::string line;
    for (const std::string& f : fields) line += (line.empty() ? "" : "\t") + f;
    line += "\n";
    std::lock_guard<std::mutex> lock(mutex_);
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // One write per line: readers never see half of one.
    ssize_t w;
    do {
      w = ::write(fd, line.data(), line.size());
    } while (w < 0 && errno == EINTR);
    close(fd);
  }

 private:
  std::string path_;
  std::mutex mutex_;
};

// ---- The configuration protocol's server side -----------------------------------

class ConfigServer : public norvak::ipc::NkServerProtocol {
 public:
  ConfigServer(Record& record, std::shared_ptr<const Data> data)
      : record_(record), data_(std::move(data)) {}

  std::unique_ptr<NkDdpUnit> CreateUnit() override { return std::make_unique<NkDdpUnit>(); }
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return norvak::maild::NkConfigClient::kId; }

  void setData(std::shared_ptr<const Data> data) {
    std::lock_guard<std::mutex> lock(mutex_);
    data_ = std::move(data);
  }

  bool Process(NkDdpUnit& request, NkDdpUnit& reply) override {
    const int32_t type = request.GetInt32();
    const int32_t num = request.GetInt32();
    const std::string client = request.GetString();
    const int32_t pid = request.GetInt32();
    record_.write({"Config", std::to_string(type), std::to_string(num), client,
                   std::to_string(pid)});
    std::shared_ptr<const Data> data;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      data = data_;
    }
    static const Section kEmpty;
    const Section* s = data->find(num);
    if (!s) s = &kEmpty;
    if (s->delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(s->delayMs));
    if (s->close) return false;
    reply.AddInt32(s->type);
    reply.AddInt32(s->code);
    if (s->stringLengthSet) {
      reply.AddInt32(1);
      reply.AddInt32(s->stringLength);
      return true;
    }
    reply.AddInt32(s->countSet ? s->count : static_cast<int32_t>(s->pairs.size()));
    for (const auto& pair : s->pairs) {
      reply.AddString(pair.first);
      reply.AddString(pair.second);
    }
    return true;
  }

 private:
  Record& record_;
  std::mutex mutex_;
  std::shared_ptr<const Data> data_;
};

// ---- Modes ----------------------------------------------------------------------

void writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t w = write(fd, data.data() + done, data.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    done += static_cast<size_t>(w);
  }
}

std::string baseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// A component checking its options against an agent.
int checkAgainstAgent(const Options& o, const std::string& name) {
  try {
    norvak::ipc::NkClientSession session(std::make_shared<norvak::ipc::NkPersistentClientPoolManager>(
        norvak::ipc::ConnSettings(1)));
    session.Open(o.checkAgainst);
    norvak::maild::NkConfigClient request(static_cast<uint32_t>(o.checkRequest), name);
    if (!session.Execute(&request, NkDeadline(NkTimeout::Seconds(5)))) {
      throw std::runtime_error("the exchange was broken off");
    }
  } catch (const std::exception& e) {
    writeAll(1, "cannot read the configuration from the agent at " + o.checkAgainst + ": " +
                    e.what() + "\n");
    return 1;
  }
  writeAll(1, "Options OK\n");
  return 0;
}

int checkOwnOptions(const Options& o) {
  try {
    readData(o.dataFile);
  } catch (const std::exception& e) {
    writeAll(1, std::string("data file: ") + e.what() + "\n");
    return 1;
  }
  if (o.address.empty()) {
    writeAll(1, "no address to listen on (--listen)\n");
    return 1;
  }
  writeAll(1, "Options OK\n");
  return 0;
}

// The path of a Unix-domain address, empty for any other.
std::string socketPath(const std::string& address) {
  for (const char* prefix : {"local:", "unix:"}) {
    if (address.rfind(prefix, 0) == 0) return address.substr(strlen(prefix));
  }
  return std::string();
}

// The address line of the pid file, in the form the library reads back.
std::string pidFileAddress(const std::string& address) {
  const std::string path = socketPath(address);
  if (!path.empty()) return path;
  const size_t at = address.find('@');
  if (address.rfind("inet:", 0) == 0 && at != std::string::npos) {
    return address.substr(at + 1) + ":" + address.substr(5, at - 5);
  }
  return address;
}

// Sleeps, still ending on SIGTERM or SIGINT; false when one came.
bool pause(long ms, const sigset_t& signals) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return true;
    struct timespec ts = {static_cast<time_t>(left / 1000), (left % 1000) * 1000000L};
    const int sig = sigtimedwait(&signals, nullptr, &ts);
    if (sig == SIGTERM || sig == SIGINT) return false;
  }
}

int serve(const Options& o, sigset_t& signals) {
  if (o.startDelayMs > 0 && !pause(o.startDelayMs, signals)) return 0;
  Record record(o.recordFile);
  std::shared_ptr<const Data> data;
  try {
    data = readData(o.dataFile);
  } catch (const std::exception&) {
    writeAll(1, "E");
    return 1;
  }
  ConfigServer config(record, data);
  norvak::maild::NkStartAppServer startApp;
  norvak::maild::NkStopAppServer stopApp;
  auto pool = std::make_shared<norvak::ipc::NkPersistentServerPoolManager>(
      norvak::ipc::ConnSettings(0));
  norvak::ipc::NkServerSession session(pool);
  session.Register(&config);
  session.Register(&startApp);
  session.Register(&stopApp);
  // A client that stops half-way through a request holds one thread for
  // this long at most.
  session.SetTimeout(NkTimeout::Seconds(10));
  try {
    session.Open(o.address);
  } catch (const std::exception&) {
    writeAll(1, "E");
    return 1;
  }
  if (!o.pidFile.empty()) {
    std::ofstream pid(o.pidFile, std::ios::trunc);
    pid << getpid() << "\n" << pidFileAddress(o.address) << "\n";
  }
  record.write({"Listening", o.address});

  // One serving thread, and each notification written out right after the
  // exchange that brought it: the record keeps the order of arrival.
  auto drain = [&] {
    for (auto& r : startApp.GetQueue().TakeAll()) {
      record.write({"StartApp", r.appName, std::to_string(r.pid), r.permissions, r.arguments});
    }
    for (auto& r : stopApp.GetQueue().TakeAll()) {
      record.write({"StopApp", r.appName, std::to_string(r.pid)});
    }
  };
  std::atomic<bool> stopping{false};
  std::thread server([&] {
    while (!stopping) {
      try {
        session.Execute(nullptr, NkDeadline());
      } catch (const std::exception&) {
        if (stopping) break;
        // Whatever went wrong is not retried in a tight loop.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      drain();
    }
  });

  writeAll(1, " ");
  for (;;) {
    int sig = 0;
    if (sigwait(&signals, &sig) != 0) continue;
    if (sig == SIGHUP) {
      try {
        config.setData(readData(o.dataFile));
        record.write({"Reload", "ok"});
      } catch (const std::exception&) {
        record.write({"Reload", "error"});
      }
      continue;
    }
    if (sig == SIGTERM || sig == SIGINT) break;
  }

  stopping = true;
  try {
    session.Close();
  } catch (const std::exception&) {
  }
  server.join();
  const std::string path = socketPath(o.address);
  if (!path.empty()) unlink(path.c_str());
  if (!o.pidFile.empty()) unlink(o.pidFile.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parseArgs(argc, argv);

  // Blocked before any thread exists: only the main thread takes them.
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&signals, sig);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (o.checkOnly) {
    return o.checkAgainst.empty() ? checkOwnOptions(o) : checkAgainstAgent(o, baseName(argv[0]));
  }
  if (o.address.empty()) {
    writeAll(1, "E");
    return 1;
  }
  return serve(o, signals);
}
