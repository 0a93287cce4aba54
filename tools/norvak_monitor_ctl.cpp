// norvak-monitor-ctl: the administrator's client of the monitor's
// management server.
//
//   norvak-monitor-ctl [OPTION] reload [PID...]
//       SIGHUP to the components with these pids; the monitor's own pid
//       reloads the monitor. No pid at all only checks that the monitor
//       takes requests.
//   norvak-monitor-ctl [OPTION] update DIR ARG PRODUCT
//       runs the unpacked package's pre-update script and prints the
//       monitor's answer.
//
// The address is --address, or the first reachable one of /Monitor/Address
// in the monitor's configuration file. Exit status: 0 done, 1 the monitor
// refused the request or the update failed, 2 the monitor cannot be
// reached, 6 a bad command line.

#include <unistd.h>

#include <boost/program_options.hpp>
#include <cerrno>
#include <climits>
#include <cstdlib>
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
#include "protocols/nk_peer.h"
#include "protocols/nk_reload_comp_client.h"
#include "protocols/nk_update_client.h"

namespace po = boost::program_options;
namespace ipc = norvak::ipc;
namespace maild = norvak::maild;

namespace {

const char kName[] = "norvak-monitor-ctl";
const char kDefaultConf[] = "/usr/local/etc/norvak/monitor.conf";

enum Status { kDone = 0, kRefused = 1, kUnreachable = 2, kUsage = 6 };

struct Options {
  std::string command;
  std::vector<std::string> args;
  std::string address;
  std::string conf;
  int timeout = 0;  // 0: the configured one
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
  explicit CheckedPool(bool check)
      : NkSessionPoolManager(kClient, ipc::ConnSettings(1)), check_(check) {}

  ipc::NkIfIPCPtr AquireConnection(const norvak::base::NkDeadline& deadline) override {
    ipc::NkIfIPCPtr connection = NkSessionPoolManager::AquireConnection(deadline);
    if (!check_ || !connection) return connection;
    const maild::NkPeer server = maild::NkIdentifyPeer(connection->GetHandle());
    const uid_t self = geteuid();
    if (server.transport == maild::NkPeer::kLocal && server.has_credentials && self != 0 &&
        self != server.uid) {
      connection->Close();
      throw Refused("the monitor (uid " + std::to_string(server.uid) +
                    ") serves only root and its own user; this is uid " + std::to_string(self));
    }
    return connection;
  }

 private:
  bool check_;
};

po::options_description describe(Options& options) {
  po::options_description desc(
      std::string("Use: ") + kName + " [OPTION] reload [PID...] | update DIR ARG PRODUCT",
      po::options_description::m_default_line_length,
      po::options_description::m_default_line_length / 2);
  desc.add_options()
      ("help,h", "display this message")
      ("address,a", po::value<std::string>(&options.address),
       "the monitor's management address (local:PATH, unix:PATH, inet:PORT@HOST); "
       "default: /Monitor/Address of the configuration file")
      ("conf,c", po::value<std::string>(&options.conf)->default_value(kDefaultConf),
       "the monitor's configuration file")
      ("timeout,t", po::value<int>(&options.timeout),
       "seconds to wait for the monitor (default: /Monitor/Timeout; an update also waits "
       "for its pre-update script)");
  return desc;
}

const char kCommands[] =
    "\nCommands:\n"
    "  reload [PID...]          SIGHUP to the components with these pids; the\n"
    "                           monitor's own pid reloads the monitor\n"
    "  update DIR ARG PRODUCT   install the unpacked update package in DIR\n"
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
  if (!addresses.empty() && options.timeout > 0) return;
  std::list<std::string> configured;
  int timeout = 30;
  try {
    conf_parser_t parser(options.conf);
    conf_store_t store;
    parser.parse(store);
    if (addresses.empty()) store.getList("/Monitor/Address", configured);
    timeout = store.getIntInRange("/Monitor/Timeout", 1, 3600, 30);
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
              int seconds, bool checkPeer) {
  ipc::NkClientSession session(std::make_shared<CheckedPool>(checkPeer));
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

int run(int argc, char** argv) {
  Options options;
  if (!parseCommandLine(argc, argv, options)) return kDone;
  std::vector<std::string> addresses;

  if (options.command == "reload") {
    std::vector<int32_t> pids;
    for (const std::string& word : options.args) pids.push_back(parsePid(word));
    settle(options, addresses);
    maild::NkReloadCompClient request(pids);
    exchange(request, addresses, options.timeout, true);
    return kDone;
  }
  if (options.command == "update") {
    if (options.args.size() != 3) throw Failure{kUsage, "update wants DIR ARG PRODUCT"};
    settle(options, addresses);
    maild::NkUpdateClient request(options.args[0], options.args[1], options.args[2]);
    // The answer follows the pre-update script.
    exchange(request, addresses, options.timeout + maild::kPreUpdateLimitSeconds, false);
    std::string message = request.GetMessage();
    while (!message.empty() && message.back() == '\n') message.pop_back();
    if (!request.IsOk()) throw Failure{kRefused, "update failed: " + message};
    if (!message.empty()) std::cout << message << std::endl;
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
