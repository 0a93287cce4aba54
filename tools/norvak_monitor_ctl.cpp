// norvak-monitor-ctl: the administrator's client of the monitor's
// management server.
//
//   norvak-monitor-ctl [OPTION] reload [PID...]
//       SIGHUP to the supervised processes with these pids; the monitor's
//       own pid, or no pid at all, reloads the monitor and prints what
//       changed. Fails naming every pid that is nobody's, after reloading
//       the others.
//   norvak-monitor-ctl [OPTION] update DIR ARG PRODUCT
//       runs the unpacked package's pre-update script and prints the
//       monitor's answer.
//   norvak-monitor-ctl [OPTION] [--json] status [APP...]
//       the applications and their components, one line per component.
//   norvak-monitor-ctl [OPTION] start|stop|restart APP
//       starts (its dependencies first), stops (its dependents first) or
//       restarts the application, and waits until every application that
//       touches is settled; a failed start says why. A stopped application
//       stays stopped across reloads until it is started again, and its
//       start brings back the dependents its stop took down.
//   norvak-monitor-ctl [OPTION] logs APP [COMPONENT] [-n N] [-f]
//       the last N lines its components wrote; -f follows until SIGINT or
//       SIGTERM.
//   norvak-monitor-ctl [OPTION] reopen-logs
//       the monitor reopens its log file, after a rotation.
//
// The address is --address, or the first reachable one of /Monitor/Address
// in the monitor's configuration file. Exit status: 0 done, 1 the monitor
// refused the request or the update failed, 2 the monitor cannot be
// reached, 6 a bad command line.

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/program_options.hpp>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/conf_parser.h"
#include "config/conf_store.h"
#include "frame/log.h"
#include "ipc/nk_client_session.h"
#include "ipc/nk_conn_settings.h"
#include "ipc/nk_deadline.h"
#include "ipc/nk_ipc_factory.h"
#include "ipc/nk_session_pool_manager.h"
#include "ipc/nk_timeout.h"
#include "protocols/nk_control.h"
#include "protocols/nk_logs.h"
#include "protocols/nk_access_policy.h"
#include "protocols/nk_peer.h"
#include "protocols/nk_status.h"
#include "protocols/nk_reload_comp_client.h"
#include "protocols/nk_update_client.h"

namespace po = boost::program_options;
namespace ipc = norvak::ipc;
namespace maild = norvak::maild;

namespace {

const char kName[] = "norvak-monitor-ctl";
const char kDefaultConf[] = NORVAK_DEFAULT_CONF;  // the configured prefix's

enum Status { kDone = 0, kRefused = 1, kUnreachable = 2, kUsage = 6 };

struct Options {
  std::string command;
  std::vector<std::string> args;
  std::string address;
  std::string conf;
  int timeout = 0;  // 0: the configured one
  bool json = false;
  int lines = 10;
  bool follow = false;
  std::string adminGroup;  // the configured /Monitor/AdminGroup
};

// Ends the program with a status and a one-line reason.
struct Failure {
  Status status;
  std::string text;
};

// The monitor serves Unix-domain peers only when they run as root or as its
// own user, and tells a refused ReloadComp only by closing the connection,
// which a client cannot tell from a served one. The listener's credentials
// come with the connection, so the same rule is applied here before a byte
// is sent.
class Refused : public std::runtime_error {
 public:
  explicit Refused(const std::string& what) : std::runtime_error(what) {}
};

class CheckedPool : public ipc::NkSessionPoolManager {
 public:
  CheckedPool(bool check, std::string adminGroup)
      : NkSessionPoolManager(kClient, ipc::ConnSettings(1)),
        check_(check),
        adminGroup_(std::move(adminGroup)) {}

  ipc::NkIfIPCPtr AquireConnection(const norvak::base::NkDeadline& deadline) override {
    ipc::NkIfIPCPtr connection = NkSessionPoolManager::AquireConnection(deadline);
    if (!check_ || !connection) return connection;
    const maild::NkPeer server = maild::NkIdentifyPeer(connection->GetHandle());
    const uid_t self = geteuid();
    if (server.transport != maild::NkPeer::kLocal || !server.has_credentials) return connection;
    maild::NkAccessScope scope;
    scope.own_uid = server.uid;
    scope.admin_group = adminGroup_;
    if (maild::NkAdminStanding(self, scope) != maild::NkStanding::kAdmin) {
      connection->Close();
      throw Refused("the monitor (uid " + std::to_string(server.uid) + ") serves only root" +
                    (adminGroup_.empty() ? std::string(" and its own user")
                                         : ", its own user and group \"" + adminGroup_ + "\"") +
                    "; this is uid " + std::to_string(self));
    }
    return connection;
  }

  // Says it is done and waits (briefly) for the monitor to close: over TCP
  // the monitor learns who asked from the socket table, where a client that
  // has already closed is nobody in particular.
  void ReleaseConnection(const ipc::NkIfIPCPtr& connection) override {
    const int fd = connection ? connection->GetHandle() : -1;
    if (fd >= 0 && shutdown(fd, SHUT_WR) == 0) {
      char drained[256];
      for (pollfd entry{fd, POLLIN, 0}; poll(&entry, 1, kLingerMs) > 0;) {
        if (read(fd, drained, sizeof drained) <= 0) break;
      }
    }
    NkSessionPoolManager::ReleaseConnection(connection);
  }

 private:
  static constexpr int kLingerMs = 5000;
  bool check_;
  std::string adminGroup_;
};

po::options_description describe(Options& options) {
  po::options_description desc(
      std::string("Use: ") + kName +
          " [OPTION] reload [PID...] | update DIR ARG PRODUCT | status [APP...] | "
          "start|stop|restart APP | logs APP [COMPONENT] [-n N] [-f] | reopen-logs",
      po::options_description::m_default_line_length,
      po::options_description::m_default_line_length / 2);
  desc.add_options()
      ("help,h", "display this message")
      ("address,a", po::value<std::string>(&options.address),
       "the monitor's management address (local:PATH, unix:PATH, inet:PORT@HOST); "
       "default: /Monitor/Address of the configuration file")
      ("conf,c", po::value<std::string>(&options.conf)->default_value(kDefaultConf),
       "the monitor's configuration file")
      ("json,j", po::bool_switch(&options.json), "status: print JSON instead of a table")
      ("lines,n", po::value<int>(&options.lines),
       "logs: how many of the last lines to print (default 10)")
      ("follow,f", po::bool_switch(&options.follow),
       "logs: go on printing new lines until interrupted")
      ("timeout,t", po::value<int>(&options.timeout),
       "seconds to wait for the monitor (default: /Monitor/Timeout; an update also waits "
       "for its pre-update script)");
  return desc;
}

const char kCommands[] =
    "\nCommands:\n"
    "  reload [PID...]          SIGHUP to the components with these pids; no pid\n"
    "                           (or the monitor's own) reloads the monitor and\n"
    "                           prints what changed, or why nothing did\n"
    "  update DIR ARG PRODUCT   install the unpacked update package in DIR\n"
    "  status [APP...]          the applications' components, their state, pid,\n"
    "                           uptime and restarts (--json: as JSON)\n"
    "  start APP                start the application after its dependencies,\n"
    "                           with the dependents its stop took down\n"
    "  stop APP                 stop the application after its dependents; it\n"
    "                           stays stopped across reloads until started\n"
    "  restart APP              stop, then start the application and its\n"
    "                           dependents\n"
    "  logs APP [COMPONENT]     the last lines the application's components (or\n"
    "                           this one) wrote, with -n N that many, with -f\n"
    "                           also those that follow, until interrupted\n"
    "  reopen-logs              the monitor reopens its log file (after a\n"
    "                           rotation); no component is signalled\n"
    "\nExit status: 0 done, 1 refused or failed, 2 monitor not reachable,\n"
    "6 bad command line.\n";

// Fills options; false when the help was printed.
bool parseCommandLine(int argc, char** argv, Options& options) {
  po::options_description desc = describe(options);
  po::options_description hidden;
  hidden.add_options()
      ("command", po::value<std::string>(&options.command))
      ("args", po::value<std::vector<std::string>>(&options.args));
  po::options_description all;
  all.add(desc).add(hidden);
  po::positional_options_description positional;
  positional.add("command", 1).add("args", -1);

  po::variables_map vm;
  try {
    po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
    po::notify(vm);
  } catch (const std::exception& e) {
    throw Failure{kUsage, e.what()};
  }
  if (vm.count("help")) {
    std::cout << desc << kCommands;
    return false;
  }
  if (options.command.empty()) throw Failure{kUsage, "no command given"};
  if (vm.count("timeout") && options.timeout <= 0)
    throw Failure{kUsage, "the time-out must be a positive number of seconds"};
  if (options.lines < 0 || options.lines > maild::kMaxLogLines)
    throw Failure{kUsage, "the number of lines must be 0 to " + std::to_string(maild::kMaxLogLines)};
  return true;
}

int32_t parsePid(const std::string& word) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(word.c_str(), &end, 10);
  if (word.empty() || *end != '\0' || errno != 0 || value <= 0 || value > INT32_MAX)
    throw Failure{kUsage, "not a process id: \"" + word + "\""};
  return static_cast<int32_t>(value);
}

// The management addresses and the time-out, from the options and, where
// they leave something open, from the monitor's configuration file.
void settle(Options& options, std::vector<std::string>& addresses) {
  if (!options.address.empty()) {
    bool valid = false;
    try {
      valid = ipc::CreateAddress(options.address) != nullptr;
    } catch (const std::exception&) {
    }
    if (!valid) {
      throw Failure{kUsage, "not an address: \"" + options.address +
                                "\" (local:PATH, unix:PATH or inet:PORT@HOST)"};
    }
    addresses.push_back(options.address);
  }
  std::list<std::string> configured;
  int timeout = 30;
  try {
    conf_parser_t parser(options.conf);
    conf_store_t store;
    parser.parse(store);
    if (addresses.empty()) store.getList("/Monitor/Address", configured);
    if (store.has("/Monitor/Timeout")) timeout = store.getIntInRange("/Monitor/Timeout", 1, 3600, 30);
    if (store.has("/Monitor/AdminGroup")) options.adminGroup = store.getValue("/Monitor/AdminGroup");
  } catch (const std::exception& e) {
    // Only the time-out was wanted: its default will do.
    if (addresses.empty()) {
      throw Failure{kUnreachable, std::string("cannot find the monitor's address: ") + e.what()};
    }
  }
  if (options.timeout <= 0) options.timeout = timeout;
  addresses.insert(addresses.end(), configured.begin(), configured.end());
  if (addresses.empty()) {
    throw Failure{kUnreachable,
                  "no management address: /Monitor/Address is empty in \"" + options.conf + "\""};
  }
}

std::string joined(const std::vector<std::string>& addresses) {
  std::string text;
  for (const std::string& address : addresses) text += (text.empty() ? "" : ", ") + address;
  return text;
}

// One exchange with the first reachable address.
void exchange(ipc::NkClientProtocol& protocol, const std::vector<std::string>& addresses,
              int seconds, bool checkPeer, const std::string& adminGroup) {
  ipc::NkClientSession session(std::make_shared<CheckedPool>(checkPeer, adminGroup));
  bool done = false;
  try {
    session.Open(addresses);
    done = session.Execute(
        &protocol,
        norvak::base::NkDeadline(norvak::base::NkTimeout::Seconds(static_cast<uint32_t>(seconds))));
  } catch (const Refused& e) {
    throw Failure{kRefused, std::string("refused: ") + e.what()};
  } catch (const std::exception& e) {
    throw Failure{kUnreachable,
                  "cannot reach the monitor at " + joined(addresses) + ": " + e.what()};
  }
  if (!done) {
    throw Failure{kRefused, "the monitor at " + joined(addresses) +
                                " closed the connection without serving the request"};
  }
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

std::string clockTime(int64_t when) {
  const time_t t = static_cast<time_t>(when);
  struct tm local;
  char text[32];
  if (localtime_r(&t, &local) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0)
    return std::to_string(when);
  return text;
}

std::string duration(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char text[48];
  if (seconds >= 86400) {
    std::snprintf(text, sizeof text, "%lldd%02lldh%02lldm", static_cast<long long>(seconds / 86400),
                  static_cast<long long>(seconds % 86400 / 3600),
                  static_cast<long long>(seconds % 3600 / 60));
  } else {
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds % 3600 / 60), static_cast<long long>(seconds % 60));
  }
  return text;
}

bool alive(const maild::NkCompStatus& comp) {
  return comp.state == maild::kRunningState || comp.state == maild::kStartingState;
}

std::string stateText(const maild::NkAppStatus& app, const maild::NkCompStatus& comp) {
  if (comp.state == maild::kStoppedState && app.adminStopped) return "stopped by administrator";
  if (comp.state == maild::kExitedState && comp.exitStatus >= 0)
    return comp.state + " (" + std::to_string(comp.exitStatus) + ")";
  if (comp.state == maild::kWaitingState && comp.nextTry > 0)
    return "waiting for restart at " + clockTime(comp.nextTry);
  return comp.state;
}

// Each check as its kind, result and time ("TCP ok 12:00:01"), then the
// program's own STATUS= text in quotes.
std::string healthText(const maild::NkCompStatus& comp) {
  std::string out;
  for (const maild::NkCheckStatus& check : comp.checks) {
    if (!out.empty()) out += ", ";
    out += check.check.substr(0, check.check.find(' ')) + " " + check.result;
    if (check.result == "failed") out += " x" + std::to_string(check.failures);
    if (check.time > 0) out += " " + clockTime(check.time);
  }
  if (!comp.notifyStatus.empty()) out += (out.empty() ? "\"" : " \"") + comp.notifyStatus + "\"";
  return out;
}

void printTable(const maild::NkStatusResult& result, int64_t now) {
  bool anyHealth = false;
  for (const maild::NkAppStatus& app : result.apps)
    for (const maild::NkCompStatus& comp : app.components)
      anyHealth = anyHealth || !healthText(comp).empty();
  std::vector<std::vector<std::string>> rows{
      {"APPLICATION", "COMPONENT", "STATE", "PID", "UPTIME", "RESTARTS", "CAUSE"}};
  // Only a suite with checks gets the column: a table without stays as it was.
  if (anyHealth) rows.front().push_back("HEALTH");
  for (const maild::NkAppStatus& app : result.apps) {
    for (const maild::NkCompStatus& comp : app.components) {
      const bool running = comp.state == maild::kRunningState;
      rows.push_back({app.name, comp.name, stateText(app, comp),
                      alive(comp) && comp.pid > 0 ? std::to_string(comp.pid) : "-",
                      running && comp.startTime > 0 ? duration(now - comp.startTime) : "-",
                      std::to_string(comp.restarts),
                      comp.lastFaultCause.empty() ? "-" : comp.lastFaultCause});
      const std::string health = healthText(comp);
      if (anyHealth) rows.back().push_back(health.empty() ? "-" : health);
    }
  }
  std::vector<size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    std::cout << line << "\n";
  }
  std::cout.flush();
}

void printJson(const maild::NkStatusResult& result, int64_t now) {
  std::ostringstream out;
  out << "{\"applications\":[";
  for (size_t a = 0; a < result.apps.size(); ++a) {
    const maild::NkAppStatus& app = result.apps[a];
    out << (a ? "," : "") << "{\"name\":" << jsonString(app.name)
        << ",\"full_name\":" << jsonString(app.fullName)
        << ",\"running\":" << (app.running ? "true" : "false")
        << ",\"stopped_by_administrator\":" << (app.adminStopped ? "true" : "false")
        << ",\"dependencies\":[";
    for (size_t d = 0; d < app.dependencies.size(); ++d)
      out << (d ? "," : "") << jsonString(app.dependencies[d]);
    out << "],\"components\":[";
    for (size_t c = 0; c < app.components.size(); ++c) {
      const maild::NkCompStatus& comp = app.components[c];
      const bool running = comp.state == maild::kRunningState;
      out << (c ? "," : "") << "{\"name\":" << jsonString(comp.name)
          << ",\"pid\":" << (alive(comp) && comp.pid > 0 ? std::to_string(comp.pid) : "null")
          << ",\"state\":" << jsonString(comp.state)
          << ",\"state_text\":" << jsonString(stateText(app, comp))
          << ",\"start_time\":" << (running && comp.startTime > 0 ? std::to_string(comp.startTime) : "null")
          << ",\"uptime\":"
          << (running && comp.startTime > 0 ? std::to_string(std::max<int64_t>(now - comp.startTime, 0))
                                            : "null")
          << ",\"restarts\":" << comp.restarts
          << ",\"next_try\":" << (comp.nextTry > 0 ? std::to_string(comp.nextTry) : "null")
          << ",\"last_fault_time\":"
          << (comp.lastFaultTime > 0 ? std::to_string(comp.lastFaultTime) : "null")
          << ",\"last_fault_cause\":"
          << (comp.lastFaultCause.empty() ? "null" : jsonString(comp.lastFaultCause))
          << ",\"status_text\":"
          << (comp.notifyStatus.empty() ? "null" : jsonString(comp.notifyStatus))
          << ",\"checks\":[";
      for (size_t k = 0; k < comp.checks.size(); ++k) {
        const maild::NkCheckStatus& check = comp.checks[k];
        out << (k ? "," : "") << "{\"check\":" << jsonString(check.check)
            << ",\"result\":" << jsonString(check.result)
            << ",\"time\":" << (check.time > 0 ? std::to_string(check.time) : "null")
            << ",\"failures\":" << check.failures
            << ",\"error\":" << (check.error.empty() ? "null" : jsonString(check.error)) << "}";
      }
      // exit_status stays last: readers that look for an application after
      // a component's closing bracket must not find one here.
      out << "],\"exit_status\":"
          << (comp.exitStatus >= 0 ? std::to_string(comp.exitStatus) : "null") << "}";
    }
    out << "]}";
  }
  out << "]}";
  std::cout << out.str() << std::endl;
}

// A component's text, on an administrator's terminal: what it wrote must not
// drive the terminal.
std::string printable(const std::string& text) {
  std::string out = text;
  for (char& ch : out) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7f) ch = '?';
  }
  return out;
}

void printLogLines(const maild::NkLogsResult& result, bool withComponent) {
  std::string out;
  for (const maild::NkLogLine& line : result.lines) {
    out += clockTime(line.time) + " ";
    if (withComponent) out += printable(line.component) + " ";
    out += line.stream == maild::kLogStderr ? "err: " : "out: ";
    out += printable(line.text) + "\n";
  }
  std::cout << out << std::flush;
}

// SIGINT and SIGTERM end a follower between two requests, never in the
// middle of printing an answer. Blocked before the first exchange, so that
// any thread it starts keeps them blocked too.
class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  }
  // Waits up to ms; true when one of them came.
  bool await(long ms) const {
    const timespec wait{ms / 1000, (ms % 1000) * 1000000L};
    for (;;) {
      if (sigtimedwait(&set_, nullptr, &wait) >= 0) return true;
      if (errno != EINTR) return false;
    }
  }

 private:
  sigset_t set_;
};

int runLogs(Options& options, std::vector<std::string>& addresses) {
  if (options.args.empty() || options.args.size() > 2)
    throw Failure{kUsage, "logs wants APP [COMPONENT]"};
  // Between two polls of a follower: a new line shows within a second.
  const long kPollMs = 250;
  std::unique_ptr<StopSignals> stop;
  if (options.follow) stop = std::make_unique<StopSignals>();
  settle(options, addresses);
  maild::NkLogsRequest asked;
  asked.app = options.args[0];
  if (options.args.size() > 1) asked.component = options.args[1];
  // Up to N lines at first; an answer cut at its byte bound leaves the rest
  // of them to be asked for at once.
  int64_t left = options.lines;
  bool catchingUp = true;
  for (;;) {
    asked.most = catchingUp ? static_cast<int32_t>(left) : maild::kMaxLogLines;
    maild::NkLogsClient request(asked);
    exchange(request, addresses, options.timeout + 5, true, options.adminGroup);
    const maild::NkLogsResult& result = request.GetResult();
    if (!result.ok) throw Failure{kRefused, "logs refused: " + result.message};
    printLogLines(result, asked.component.empty());
    asked.after = result.next;
    if (catchingUp) {
      left -= static_cast<int64_t>(result.lines.size());
      catchingUp = result.more && left > 0;
      if (catchingUp) continue;
    }
    if (!options.follow) return kDone;
    if (stop->await(result.more ? 0 : kPollMs)) return kDone;
  }
}

int run(int argc, char** argv) {
  Options options;
  if (!parseCommandLine(argc, argv, options)) return kDone;
  std::vector<std::string> addresses;

  if (options.command == "reload") {
    std::vector<int32_t> pids;
    for (const std::string& word : options.args) pids.push_back(parsePid(word));
    settle(options, addresses);
    // The monitor judges who may reload what, and says so.
    maild::NkControlClient request(pids);
    exchange(request, addresses, options.timeout + 5, false, options.adminGroup);
    const maild::NkControlResult& result = request.GetResult();
    if (!result.ok && result.message.rfind("unknown action", 0) == 0) {
      // A monitor from before the answered reload: the request it knows.
      maild::NkReloadCompClient plain(pids);
      exchange(plain, addresses, options.timeout, true, options.adminGroup);
      std::cerr << kName << ": sent; this monitor does not tell what it reloaded" << std::endl;
      return kDone;
    }
    std::istringstream lines(result.message);
    for (std::string line; std::getline(lines, line);) {
      if (result.ok)
        std::cout << line << "\n";
      else
        std::cerr << kName << ": " << line << "\n";
    }
    std::cout.flush();
    return result.ok ? kDone : kRefused;
  }
  if (options.command == "update") {
    if (options.args.size() != 3) throw Failure{kUsage, "update wants DIR ARG PRODUCT"};
    settle(options, addresses);
    maild::NkUpdateClient request(options.args[0], options.args[1], options.args[2]);
    // The answer follows the pre-update script.
    exchange(request, addresses, options.timeout + maild::kPreUpdateLimitSeconds, false,
             options.adminGroup);
    std::string message = request.GetMessage();
    while (!message.empty() && message.back() == '\n') message.pop_back();
    if (!request.IsOk()) throw Failure{kRefused, "update failed: " + message};
    if (!message.empty()) std::cout << message << std::endl;
    return kDone;
  }
  if (options.command == "status") {
    settle(options, addresses);
    maild::NkStatusClient request(options.args);
    exchange(request, addresses, options.timeout + 5, true, options.adminGroup);
    const maild::NkStatusResult& result = request.GetResult();
    if (!result.ok) throw Failure{kRefused, "status refused: " + result.message};
    const int64_t now = static_cast<int64_t>(time(nullptr));
    if (options.json)
      printJson(result, now);
    else
      printTable(result, now);
    return kDone;
  }
  if (options.command == "start" || options.command == "stop" || options.command == "restart") {
    if (options.args.size() != 1) throw Failure{kUsage, options.command + " wants one APP"};
    const maild::NkControlAction action = options.command == "start"
                                              ? maild::NkControlAction::kStart
                                              : options.command == "stop"
                                                    ? maild::NkControlAction::kStop
                                                    : maild::NkControlAction::kRestart;
    settle(options, addresses);
    maild::NkControlClient request(action, options.args.front());
    // The monitor answers once the action is over, within its own time-out.
    exchange(request, addresses, options.timeout + 5, true, options.adminGroup);
    if (!request.GetResult().ok)
      throw Failure{kRefused, options.command + " failed: " + request.GetResult().message};
    return kDone;
  }
  if (options.command == "logs") return runLogs(options, addresses);
  if (options.command == "reopen-logs") {
    if (!options.args.empty()) throw Failure{kUsage, "reopen-logs takes no argument"};
    settle(options, addresses);
    maild::NkControlClient request(maild::NkControlAction::kReopenLogs, "");
    exchange(request, addresses, options.timeout + 5, true, options.adminGroup);
    if (!request.GetResult().ok)
      throw Failure{kRefused, "reopen-logs failed: " + request.GetResult().message};
    if (!request.GetResult().message.empty()) std::cout << request.GetResult().message << std::endl;
    return kDone;
  }
  throw Failure{kUsage, "unknown command \"" + options.command + "\""};
}

}  // namespace

int main(int argc, char** argv) {
  // Settings readers report bad values through the monitor's logger, which
  // must not write into the monitor's log or syslog from here.
  mainLog().setLevel(LogClass::OFF);
  try {
    return run(argc, argv);
  } catch (const Failure& failure) {
    std::cerr << kName << ": " << failure.text << std::endl;
    if (failure.status == kUsage) {
      std::cerr << "Try '" << kName << " --help' for more options" << std::endl;
    }
    return failure.status;
  } catch (const std::exception& e) {
    std::cerr << kName << ": " << e.what() << std::endl;
    return kUnreachable;
  }
}
