#include "program/monitor_program.h"

#include <signal.h>
#include <unistd.h>

#include <boost/program_options.hpp>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <algorithm>
#include <sstream>
#include <vector>

#include "agent/agent_side.h"
#include "frame/log.h"
#include "frame/process_state.h"
#include "frame/run_mode.h"
#include "frame/utils.h"
#include "manage/monitor_server.h"
#include "monitor/application.h"
#include "monitor/component.h"
#include "notify/cmd_informer.h"
#include "notify/sender_informer.h"
#include "program/start_report.h"

namespace po = boost::program_options;

namespace {

// Beyond the longest answer time: reading the files and the pid file, the
// start of the agent link, a loaded machine.
const int kStartReportMargin = 10;

}  // namespace

int MonitorProgram::parseCommandLine(int argc, const char* const argv[], Options& options,
                                     std::ostream& err) {
  try {
    po::options_description desc(std::string("Use: ") + kProgramName + " [OPTION]",
                                 po::options_description::m_default_line_length,
                                 po::options_description::m_default_line_length / 2);
    desc.add_options()
        ("help,h", "display this message")
        ("version,v", "display version")
        ("update,u", "use update mode")
        ("check-only,C", po::bool_switch(&options.checkOnly)->default_value(false),
         "perform configuration check and exit")
        ("check-all,A", po::bool_switch(&options.checkAll)->default_value(false),
         "perform configuration for all components and exit")
        ("run,r", po::value<std::string>(&options.runList),
         "run applications (MAILD,ICAP - without space)")
        ("conf,c",
         po::value<std::string>(&options.confFile)
             ->default_value(NORVAK_DEFAULT_CONF),  // the configured prefix's
         "use config file");

    po::variables_map vm;
    // No word without an option is meaningful; an empty positional table
    // makes a stray one an error instead of being silently dropped.
    po::positional_options_description noPositional;
    po::store(po::command_line_parser(argc, argv).options(desc).positional(noPositional).run(),
              vm);
    po::notify(vm);

    if (vm.count("help")) {
      std::ostringstream text;
      text << desc;
      throw exit(text.str());
    }
    if (vm.count("version")) {
      throw exit(std::string(kProgramName) + " for " + Utils::osName() + ", version " +
                 kProgramVersion);
    }
    if (vm.count("update")) options.update = true;
    // A daemon works from "/", and every reload reads the file again: a
    // name relative to where the program was started must not be kept.
    if (!options.confFile.empty() && options.confFile[0] != '/') {
      std::vector<char> cwd(PATH_MAX);
      if (getcwd(cwd.data(), cwd.size()) != nullptr)
        options.confFile = std::string(cwd.data()) + "/" + options.confFile;
    }
    return 0;
  } catch (const exit&) {
    throw;
  } catch (const std::exception& e) {
    err << kProgramName << ": " << e.what() << "\n"
        << "Try '" << kProgramName << " --help' for more options" << std::endl;
    return 6;
  }
}

MonitorProgram::MonitorProgram(const std::string& runList, bool update)
    : runList_(runList), update_(update) {}

MonitorProgram::~MonitorProgram() {
  logDebug("~MonitorProgram()");
  try {
    stop();
    if (hasMonitor()) stopMonitor();
  } catch (const std::exception& e) {
    logError(e.what());
  }
  destroyMonitor();
  // Reports of the last moments are still on their way to the mail command.
  SenderInformer::waitDeliveries(10);
  CmdInformer::waitDeliveries(10);
  if (!pidFilePath_.empty()) {
    try {
      Utils::removePidFile(pidFilePath_);
    } catch (const std::exception& e) {
      logError(e.what());
    }
  }
  // The lock goes with the descriptor, only after the file is gone, so that
  // a second monitor cannot lock a file that is about to be removed.
  pidFile_.reset();
}

bool MonitorProgram::createMonitor(const std::string& confFile) {
  try {
    buildMonitor(confFile);
  } catch (const exit&) {
    throw;
  } catch (const error&) {
    throw;
  } catch (const std::exception& e) {
    throw error(33, e.what());
  }
  return true;
}

void MonitorProgram::chownLogFile() {
  const std::string file = LogClass::fileName();
  if (file.empty() || (getuid() != 0 && getgid() != 0)) return;

  uid_t uid = 0;
  gid_t gid = 0;
  // An unset user or group is not an error: the search below supplies one.
  const std::string user = settingUser();
  if (!user.empty()) {
    try {
      uid = Utils::getUid(user);
    } catch (const std::exception& e) {
      logError("cannot get UID for user \"" + user + "\": " + e.what());
    }
  }
  const std::string group = settingGroup();
  if (!group.empty()) {
    try {
      gid = Utils::getGid(group);
    } catch (const std::exception& e) {
      logError("cannot get GID for group \"" + group + "\": " + e.what());
    }
  }
  if (uid == 0) {
    try {
      uid = firstNotRootComponentUid();
    } catch (const std::exception& e) {
      logInfo(std::string("cannot find component with not root UID: ") + e.what());
    }
  }
  if (gid == 0) {
    try {
      gid = firstNotRootComponentGid();
    } catch (const std::exception& e) {
      logInfo(std::string("cannot find component with not root GID: ") + e.what());
    }
  }
  if (chown(file.c_str(), uid, gid) != 0) {
    logError("cannot change permissions for \"" + file + "\" log file: " + strerror(errno));
  }
}

bool MonitorProgram::changePermissions() {
  chownLogFile();
  try {
    const std::string user = settingUser();
    const std::string group = settingGroup();
    if (Utils::switchUser(user, group)) {
      logInfo("permissions were changed to \"" + user + ":" + group + "\"");
    } else {
      std::string currentUser;
      std::string currentGroup;
      Utils::currentUserGroup(currentUser, currentGroup);
      logDebug(std::string(kProgramName) + " permission \"" + currentUser + ":" + currentGroup +
               "\"");
    }
    return true;
  } catch (const std::exception& e) {
    logError(std::string("change permission error: ") + e.what());
    return false;
  }
}

void MonitorProgram::daemonize() {
  if (settingRunForeground()) return;
  if (getppid() != 1) {
    // Whatever is still buffered would otherwise be written twice.
    std::cout.flush();
    std::cerr.flush();
    fflush(nullptr);
    const int reportWait = firstRunSetTimeStart() + kStartReportMargin;
    start_report::open();
    pid_t pid = fork();
    if (pid < 0) {
      // Without this the failed fork would pass for the parent and end the
      // program with a success status.
      throw error(4, std::string("cannot create new session: fork() ") + strerror(errno));
    }
    if (pid > 0) {
      const int status = start_report::awaitDaemon(reportWait, std::cerr);
      std::cerr.flush();
      _exit(status);
    }
    start_report::becomeDaemon();
    if (setsid() < 0) {
      throw error(4, std::string("cannot create new session: ") + strerror(errno));
    }
  }
  const std::string dir = settingChDir();
  if (!dir.empty() && chdir(dir.c_str()) != 0) {
    throw error(5, "cannot change directory to \"" + dir + "\": " + strerror(errno));
  }
  if (freopen("/dev/null", "r", stdin) == nullptr ||
      freopen("/dev/null", "w", stdout) == nullptr ||
      freopen("/dev/null", "w", stderr) == nullptr) {
    // Nothing to report to: the terminal is being given up anyway.
  }
}

void MonitorProgram::makePidFile() {
  const pid_t pid = getpid();
  const std::string path = settingPidFileDir() + kProgramName + ".pid";
  try {
    pidFile_ = Utils::writePidFile(path, pid, {});
  } catch (const std::exception& e) {
    throw error(3, e.what());
  }
  pidFilePath_ = path;
  handPidToMonitor(pid);
}

bool MonitorProgram::setSignals() {
  SignalExecutor* executor = signalExecutor();
  addProcessor(SIGCHLD, std::make_unique<InformProcessor>(executor, "SIGCHLD"));
  addProcessor(SIGTTOU, std::make_unique<InformProcessor>(executor, "SIGTTOU"));
  addProcessor(SIGTTIN, std::make_unique<InformProcessor>(executor, "SIGTTIN"));
  addProcessor(SIGTERM, std::make_unique<TerminateProcessor>(executor, "SIGTERM"));
  addProcessor(SIGINT, std::make_unique<TerminateProcessor>(executor, "SIGINT"));
  addProcessor(SIGHUP, std::make_unique<ReloadProcessor>(executor, "SIGHUP"));
  // Taken by the supervision loop, which reopens the log on it.
  addProcessor(SIGUSR1, std::make_unique<InformProcessor>(executor, "SIGUSR1"));
  return blockSignals();
}

bool MonitorProgram::verifyDependences() {
  try {
    computeFirstRunAppSet();
    return true;
  } catch (const std::exception& e) {
    logError(std::string("dependences verification error: ") + e.what());
    return false;
  }
}

bool MonitorProgram::checkComponents() {
  try {
    AppNameSet first;
    monitor_->getFirstRunAppSet(first);
    return monitor_->checkComponents(first);
  } catch (const std::exception&) {
    return false;  // the run set itself is wrong: verifyDependences said why
  }
}

bool MonitorProgram::startApplications() {
  // A failed start must not leave the signal wait or the main loop behind:
  // the state stops every loop, and the SIGTERM waits in the blocked mask.
  auto abandon = [this] {
    setProcessState(STOPPED);
    if (monitorKnowsPid()) kill(monitorPid(), SIGTERM);
  };
  try {
    startMonitor();
  } catch (const exit&) {
    abandon();
    throw;
  } catch (const std::exception& e) {
    abandon();
    throw error(7, e.what());
  } catch (...) {
    abandon();
    throw;
  }
  return true;
}

bool MonitorProgram::startMainLoopThread() {
  logDebug("startMainLoopThread: creating thread mainLoopThread");
  try {
    mainLoopThread_ = boost::thread([this] { runMainLoop(); });
  } catch (const std::exception&) {
    logError("cannot create mainLoopThread");
    return false;
  }
  std::ostringstream id;
  id << mainLoopThread_.get_id();
  logDebug("startMainLoopThread: created thread mainLoopThread: id=" + id.str());
  return true;
}

void MonitorProgram::waitMainLoop() {
  if (mainLoopThread_.joinable()) mainLoopThread_.join();
}

void MonitorProgram::stop() {
  logDebug("MonitorProgram::stop()");
  if (hasMonitor() && getProcessState() == STARTED) monitor_->requestStop();
  waitMainLoop();
}

// ---- The monitor behind the program -----------------------------------------

void MonitorProgram::buildMonitor(const std::string& confFile) {
  monitor_ = std::make_unique<MonitorServer>(confFile, runList_, update_);
  Monitor* monitor = monitor_.get();
  monitor_->setAgent(std::make_unique<AgentSide>(
      [monitor](std::function<void()> job) { monitor->post(std::move(job)); }));
}
bool MonitorProgram::hasMonitor() const { return monitor_ != nullptr; }
int MonitorProgram::endStatus() const { return monitor_ ? monitor_->endStatus() : 0; }
void MonitorProgram::stopMonitor() { monitor_->stop(); }
void MonitorProgram::destroyMonitor() { monitor_.reset(); }
SignalExecutor* MonitorProgram::signalExecutor() { return monitor_.get(); }
void MonitorProgram::handPidToMonitor(pid_t pid) {
  ownPid_ = pid;
  if (monitor_) monitor_->setOwnPid(pid);
}
bool MonitorProgram::monitorKnowsPid() const { return ownPid_ > 0; }
pid_t MonitorProgram::monitorPid() const { return ownPid_; }
void MonitorProgram::computeFirstRunAppSet() {
  AppNameSet first;
  monitor_->getFirstRunAppSet(first);
}
void MonitorProgram::startMonitor() { monitor_->start(); }
void MonitorProgram::runMainLoop() { monitor_->mainLoop(); }
uid_t MonitorProgram::firstNotRootComponentUid() { return monitor_->firstNotRootUid(); }
gid_t MonitorProgram::firstNotRootComponentGid() { return monitor_->firstNotRootGid(); }
int MonitorProgram::firstRunSetTimeStart() {
  int longest = 0;
  try {
    AppNameSet first;
    monitor_->getFirstRunAppSet(first);
    for (const auto& app : monitor_->store().applications()) {
      if (!first.count(app->name())) continue;
      for (const Component& comp : app->components()) longest = std::max(longest, comp.timeStart());
    }
  } catch (const std::exception& e) {
    // The daemon reports the same fault itself; the margin is enough for it.
    logDebug(std::string("first run set: ") + e.what());
  }
  return longest;
}
std::string MonitorProgram::settingUser() const { return monitor_->settings().getUser(); }
std::string MonitorProgram::settingGroup() const { return monitor_->settings().getGroup(); }
std::string MonitorProgram::settingChDir() const { return monitor_->settings().getChDir(); }
std::string MonitorProgram::settingPidFileDir() const {
  return monitor_->settings().getPidFileDir();
}
bool MonitorProgram::settingRunForeground() const {
  return monitor_->settings().isRunForeground();
}
