#include "config/conf_reader.h"

#include <strings.h>

#include <stdexcept>

#include "config/conf_parser.h"
#include "config/conf_store.h"
#include "frame/log.h"
#include "frame/run_mode.h"

namespace {

const char kDefaultAgentAddress[] = "local:/var/norvak/ipc/.agent";

void valueWarning(const std::string& name, const std::string& reason, const std::string& def) {
  logAlert("value of parameter \"" + name + "\" " + reason + ". Using default value \"" + def +
           "\"");
  setCheckError();
}

// Every key the monitor reads. Anything else in the file is most likely a
// typo of one of these, which would otherwise fall back to its default
// without a word.
const char* const kKnownKeys[] = {
    "/Logging/FileName",         "/Logging/Level",
    "/Logging/IPCLevel",         "/Logging/SyslogFacility",
    "/Monitor/RunForeground",    "/Monitor/PidFileDir",
    "/Monitor/User",             "/Monitor/Group",
    "/Monitor/ChDir",            "/Monitor/MetaConfigDir",
    "/Monitor/AgentResponseTime", "/Monitor/Address",
    "/Monitor/Timeout",          "/Monitor/InjectCmd",
    "/Monitor/AgentAddress",     "/Monitor/RunAppList",
    "/Monitor/UseEnterpriseMode", "/Monitor/RecoveryTimeList",
    "/Monitor/AdminMail",        "/Monitor/FilterMail",
    "/Monitor/AdminGroup",       "/Monitor/MaxConnections",
    "/Monitor/MailsPerMinute",   "/Monitor/StableTime",
    "/Monitor/MetricsAddress",
};

bool isKnownKey(const std::string& section, const std::string& key) {
  const std::string path = "/" + section + "/" + key;
  for (const char* known : kKnownKeys) {
    if (strcasecmp(known, path.c_str()) == 0) return true;
  }
  return false;
}

// A warning only: the file stays valid, so a key added by a newer version
// does not stop an older monitor.
void warnUnknownKeys(const conf_store_t& store, const std::string& file) {
  for (const auto& section : store.sections()) {
    for (const auto& key : section.second) {
      if (isKnownKey(section.first, key.first)) continue;
      const std::string name = section.first.empty() ? key.first : section.first + "/" + key.first;
      logAlert("config file \"" + file + "\", line " +
               std::to_string(store.lineOf(section.first, key.first)) +
               ": unknown parameter \"/" + name + "\" ignored");
    }
  }
}

bool isLevelWord(const std::string& word) {
  try {
    LogClass::levelFromWord(word);
    return true;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

}  // namespace

ConfReader::Settings::Settings()
    : logType("syslog"),
      logLevel("info"),
      ipcLogLevel("error"),
      syslogFacility("daemon"),
      runForeground(false),
      mainLoopWait(1),
      pidFileDir("/var/norvak/run/"),
      metaConfigDir("/etc/norvak/monitor.meta/"),
      agentResponseTime(30),
      timeout(30),
      maxConnections(32),
      injectCmd("/usr/sbin/sendmail -t"),
      mailsPerMinute(30),
      stableTime(60),
      agentAddressList(1, kDefaultAgentAddress),
      runAppList{"AGENT"},
      enterpriseMode(false) {}

bool ConfReader::splitHostPort(const std::string& address, std::string& host, unsigned& port) {
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = address.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // a v6 address needs its brackets
  }
  const std::string digits = address.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  port = static_cast<unsigned>(std::stoul(digits));
  return port >= 1 && port <= 65535;
}

ConfReader::ConfReader(const std::string& confFile) : confFile_(confFile) {}

ConfReader::~ConfReader() {}

void ConfReader::reload() {
  logDebug("ConfReader::reload()");
  conf_store_t store;
  {
    conf_parser_t parser(confFile_);
    parser.parse(store);
  }

  // Everything is read into a fresh set first: a reload that stops at a
  // missing mandatory key must not leave half of the old settings behind.
  Settings n;
  n.logLevel = store.getString("/Logging/Level", "info");
  n.ipcLogLevel = store.getString("/Logging/IPCLevel", "error");
  n.syslogFacility = store.getString("/Logging/SyslogFacility", "daemon");
  n.logType = store.getString("/Logging/FileName", "syslog");
  if (!isLevelWord(n.logLevel)) {
    valueWarning("/Logging/Level", "is wrong", "Info");
    n.logLevel = "info";
  }
  if (!isLevelWord(n.ipcLogLevel)) {
    valueWarning("/Logging/IPCLevel", "is wrong", "Error");
    n.ipcLogLevel = "error";
  }

  // initLog only logs a refused facility or an unopenable log file; a check
  // run must still answer "Options ERROR" for them.
  try {
    LogClass::facilityFromWord(n.syslogFacility);
  } catch (const std::invalid_argument&) {
    setCheckError();
  }
  initLog(n.logType, n.logLevel, n.ipcLogLevel, n.syslogFacility, isCheckMode(), isCheckAll());
  if (!n.logType.empty() && n.logType != "syslog" && LogClass::fileName() != n.logType) {
    setCheckError();
  }

  n.runForeground = store.getBoolOr("/Monitor/RunForeground", false);
  n.user = store.getString("/Monitor/User", "");
  n.group = store.getString("/Monitor/Group", "");
  n.chDir = store.getString("/Monitor/ChDir", "");
  n.metaConfigDir = store.getPathOr("/Monitor/MetaConfigDir", "/etc/norvak/monitor.meta");
  n.mainLoopWait = 1;
  n.injectCmd = store.getString("/Monitor/InjectCmd", "/usr/sbin/sendmail -t");
  // Optional, as the limit is new: older files keep working without a word.
  if (store.has("/Monitor/MailsPerMinute"))
    n.mailsPerMinute = store.getIntInRange("/Monitor/MailsPerMinute", 1, 10000, 30);
  // Optional too: files from before it get the default.
  if (store.has("/Monitor/StableTime"))
    n.stableTime = store.getIntInRange("/Monitor/StableTime", 0, 86400, 60);
  n.agentResponseTime = store.getIntInRange("/Monitor/AgentResponseTime", 1, 3600, 30);
  // The key stays mandatory, so that only a deliberate empty value, not a
  // forgotten line, runs the suite without an agent.
  store.getList("/Monitor/AgentAddress", n.agentAddressList);

  n.pidFileDir = store.getPathOr("/Monitor/PidFileDir", "/var/norvak/run/");
  store.getList("/Monitor/Address", n.addressList);
  n.timeout = store.getIntInRange("/Monitor/Timeout", 1, 3600, 30);
  // Two at least: one is kept for root on the local socket.
  if (store.has("/Monitor/MaxConnections"))
    n.maxConnections = store.getIntInRange("/Monitor/MaxConnections", 2, 1024, 32);
  if (store.has("/Monitor/AdminGroup")) n.adminGroup = store.getValue("/Monitor/AdminGroup");
  std::list<std::string> runList;
  store.getList("/Monitor/RunAppList", runList);
  n.runAppList.clear();
  n.runAppList.insert(runList.begin(), runList.end());
  if (n.runAppList.empty()) {
    valueWarning("/Monitor/RunAppList", "is empty", "AGENT");
    n.runAppList.insert("AGENT");
  }

  n.enterpriseMode = store.getBoolOr("/Monitor/UseEnterpriseMode", false);
  // The run list would come from an agent there is none of: only AGENT runs.
  if (n.enterpriseMode && n.agentAddressList.empty()) {
    logAlert("parameter \"/Monitor/UseEnterpriseMode\" needs an agent, but "
             "\"/Monitor/AgentAddress\" is empty");
    setCheckError();
  }
  store.getIntList("/Monitor/RecoveryTimeList", n.recoveryTimeList);
  // Optional: without them the agent's addresses (or the superuser's) are
  // used, as before they existed, so their absence is not worth a warning.
  if (store.has("/Monitor/AdminMail")) n.adminMail = store.getValue("/Monitor/AdminMail");
  if (store.has("/Monitor/FilterMail")) n.filterMail = store.getValue("/Monitor/FilterMail");
  // Optional: no metrics server unless asked for.
  if (store.has("/Monitor/MetricsAddress")) {
    n.metricsAddress = store.getValue("/Monitor/MetricsAddress");
    std::string host;
    unsigned port = 0;
    if (!n.metricsAddress.empty() && !splitHostPort(n.metricsAddress, host, port)) {
      valueWarning("/Monitor/MetricsAddress", "is not host:port", "");
      n.metricsAddress.clear();
    }
  }
  warnUnknownKeys(store, confFile_);

  s_ = std::move(n);
}
