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

  s_ = std::move(n);
}
