#include "config/conf_reader.h"

#include <string.h>

#include <stdexcept>

#include "config/conf_parser.h"
#include "config/conf_store.h"
#include "config/settings_table.h"
#include "frame/log.h"
#include "frame/run_mode.h"

namespace {

// A warning only: the file stays valid, so a key added by a newer version
// does not stop an older monitor. Anything else in the file is most likely a
// typo of a known key, which would otherwise fall back to its default
// without a word: the likely one is named.
void warnUnknownKeys(const conf_store_t& store, const std::string& file) {
  for (const auto& section : store.sections()) {
    for (const auto& key : section.second) {
      if (SettingsTable::find(section.first, key.first) != nullptr) continue;
      const std::string name = section.first.empty() ? key.first : section.first + "/" + key.first;
      std::string text = "config file \"" + file + "\", line " +
                         std::to_string(store.lineOf(section.first, key.first)) +
                         ": unknown parameter \"/" + name + "\" ignored";
      if (const auto* known = SettingsTable::closest(section.first, key.first)) {
        text += "; did you mean \"" + known->path() + "\"?";
      }
      logAlert(text);
    }
  }
}

}  // namespace

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

ConfReader::ConfReader(const std::string& confFile)
    : confFile_(confFile), s_(SettingsTable::defaults()) {}

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
  FileSettings n = SettingsTable::defaults();
  const auto& rows = SettingsTable::rows();
  auto row = rows.begin();
  for (; row != rows.end() && strcmp(row->section, "Logging") == 0; ++row) {
    SettingsTable::read(*row, store, n);
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
  // Before a missing mandatory key can stop the reload: that key may well
  // be there, misspelt.
  warnUnknownKeys(store, confFile_);

  for (; row != rows.end(); ++row) SettingsTable::read(*row, store, n);
  // The run list would come from an agent there is none of: only AGENT runs.
  if (n.enterpriseMode && n.agentAddressList.empty()) {
    logAlert(
        "parameter \"/Monitor/UseEnterpriseMode\" needs an agent, but "
        "\"/Monitor/AgentAddress\" is empty");
    setCheckError();
  }
  if (!n.metricsAddress.empty()) {
    std::string host;
    unsigned port = 0;
    if (!splitHostPort(n.metricsAddress, host, port)) {
      logAlert("value of parameter \"/Monitor/MetricsAddress\" is not host:port. Using default "
               "value \"\"");
      setCheckError();
      n.metricsAddress.clear();
    }
  }

  s_ = std::move(n);
}
