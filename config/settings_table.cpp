#include "config/settings_table.h"

#include <ctype.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "config/conf_store.h"
#include "frame/log.h"
#include "frame/run_mode.h"

namespace {

using Kind = SettingsTable::Kind;
using Presence = SettingsTable::Presence;
using Row = SettingsTable::Row;
using F = FileSettings;

// Built on first use: a reader may be made during static initialisation.
const std::vector<Row>& table() {
  static const std::vector<Row> rows = {
      {"Logging", "Level", Kind::kLevel, Presence::kWarned, "info", 0, 0,
       "how much the monitor logs", &F::logLevel},
      {"Logging", "IPCLevel", Kind::kLevel, Presence::kWarned, "error", 0, 0,
       "how much the IPC library logs", &F::ipcLogLevel},
      {"Logging", "SyslogFacility", Kind::kText, Presence::kWarned, "daemon", 0, 0,
       "syslog facility of the log", &F::syslogFacility},
      {"Logging", "FileName", Kind::kText, Presence::kWarned, "syslog", 0, 0,
       "\"syslog\" or the log file", &F::logType},
      {"Monitor", "RunForeground", Kind::kYesNo, Presence::kWarned, "no", 0, 0,
       "stay in the foreground", &F::runForeground},
      {"Monitor", "User", Kind::kText, Presence::kWarned, "", 0, 0, "user to switch to", &F::user},
      {"Monitor", "Group", Kind::kText, Presence::kWarned, "", 0, 0, "group to switch to",
       &F::group},
      {"Monitor", "ChDir", Kind::kText, Presence::kWarned, "", 0, 0,
       "working directory once detached", &F::chDir},
      {"Monitor", "MetaConfigDir", Kind::kPath, Presence::kWarned, "/etc/norvak/monitor.meta", 0, 0,
       "directory of the *.mmc files", &F::metaConfigDir},
      {"Monitor", "InjectCmd", Kind::kText, Presence::kWarned, "/usr/sbin/sendmail -t", 0, 0,
       "command that sends notification mails", &F::injectCmd},
      {"Monitor", "MailsPerMinute", Kind::kNumber, Presence::kOptional, "30", 1, 10000,
       "notifications sent a minute at most", &F::mailsPerMinute},
      {"Monitor", "StableTime", Kind::kNumber, Presence::kOptional, "60", 0, 86400,
       "seconds a restarted component must stay up", &F::stableTime},
      {"Monitor", "AgentResponseTime", Kind::kNumber, Presence::kWarned, "30", 1, 3600,
       "seconds allowed for each answer of the agent", &F::agentResponseTime},
      // Mandatory, so that only a deliberate empty value, not a forgotten
      // line, runs the suite without an agent.
      {"Monitor", "AgentAddress", Kind::kList, Presence::kMandatory, nullptr, 0, 0,
       "address of the configuration agent; empty: none", &F::agentAddressList},
      {"Monitor", "PidFileDir", Kind::kPath, Presence::kWarned, "/var/norvak/run/", 0, 0,
       "directory of the pid file and the hup files", &F::pidFileDir},
      {"Monitor", "Address", Kind::kList, Presence::kMandatory, nullptr, 0, 0,
       "addresses of the management server", &F::addressList},
      {"Monitor", "Timeout", Kind::kNumber, Presence::kWarned, "30", 1, 3600,
       "seconds allowed for each management session", &F::timeout},
      // Two at least: one is kept for root on the local socket.
      {"Monitor", "MaxConnections", Kind::kNumber, Presence::kOptional, "32", 2, 1024,
       "management connections open at once", &F::maxConnections},
      {"Monitor", "AdminGroup", Kind::kText, Presence::kOptional, "", 0, 0,
       "group whose members may ask what root may", &F::adminGroup},
      {"Monitor", "RunAppList", Kind::kAppList, Presence::kMandatory, "AGENT", 0, 0,
       "applications to run", &F::runAppList},
      {"Monitor", "UseEnterpriseMode", Kind::kYesNo, Presence::kWarned, "no", 0, 0,
       "take the run list from the agent", &F::enterpriseMode},
      {"Monitor", "RecoveryTimeList", Kind::kNumberList, Presence::kMandatory, nullptr, 0, 0,
       "seconds before each restart try", &F::recoveryTimeList},
      // Without them the agent's addresses (or the superuser's) are used, as
      // before they existed, so their absence is not worth a warning.
      {"Monitor", "AdminMail", Kind::kText, Presence::kOptional, "", 0, 0,
       "recipient of notification mails", &F::adminMail},
      {"Monitor", "FilterMail", Kind::kText, Presence::kOptional, "", 0, 0,
       "sender of notification mails", &F::filterMail},
      // No metrics server unless asked for.
      {"Monitor", "MetricsAddress", Kind::kText, Presence::kOptional, "", 0, 0,
       "host:port of the metrics server", &F::metricsAddress},
  };
  return rows;
}

void valueWarning(const std::string& name, const std::string& reason, const std::string& def) {
  logAlert("value of parameter \"" + name + "\" " + reason + ". Using default value \"" + def +
           "\"");
  setCheckError();
}

bool isLevelWord(const std::string& word) {
  try {
    LogClass::levelFromWord(word);
    return true;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

// The level warnings have always named the default as a word of the sample
// ("Info"), not as it is used ("info").
std::string capitalised(std::string word) {
  if (!word.empty()) word[0] = static_cast<char>(toupper(static_cast<unsigned char>(word[0])));
  return word;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// Slips between two names (in one letter case): letters put in, left out or
// changed, and neighbours swapped, one each. Names whose lengths differ by
// more than `limit` are not compared (limit + 1), so that a runaway name
// from the file costs nothing.
size_t slips(const std::string& a, const std::string& b, size_t limit) {
  const size_t n = a.size();
  const size_t m = b.size();
  if ((n > m ? n - m : m - n) > limit) return limit + 1;
  std::vector<size_t> before(m + 1), previous(m + 1), current(m + 1);
  for (size_t j = 0; j <= m; ++j) previous[j] = j;
  for (size_t i = 1; i <= n; ++i) {
    current[0] = i;
    for (size_t j = 1; j <= m; ++j) {
      const size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    before.swap(previous);
    previous.swap(current);
  }
  return previous[m];
}

std::string sortedLetters(std::string name) {
  std::sort(name.begin(), name.end());
  return name;
}

}  // namespace

std::string SettingsTable::Row::path() const { return std::string("/") + section + "/" + key; }

const std::vector<Row>& SettingsTable::rows() { return table(); }

FileSettings SettingsTable::defaults() {
  // The defaults are read as if the file gave them, so that a default can
  // never mean other than the same text written in the file.
  conf_store_t store;
  for (const Row& row : table()) {
    if (row.fallback != nullptr) store.set(row.path(), row.fallback);
  }
  FileSettings out;
  for (const Row& row : table()) {
    if (row.fallback != nullptr) read(row, store, out);
  }
  return out;
}

void SettingsTable::read(const Row& row, const conf_store_t& store, FileSettings& out) {
  const std::string path = row.path();
  if (row.presence == Presence::kOptional && !store.has(path)) return;
  const std::string fallback = row.fallback != nullptr ? row.fallback : "";
  using Text = std::string F::*;
  switch (row.kind) {
    case Kind::kText:
      out.*std::get<Text>(row.member) = store.getString(path, fallback);
      break;
    case Kind::kLevel: {
      std::string& level = out.*std::get<Text>(row.member);
      level = store.getString(path, fallback);
      if (!isLevelWord(level)) {
        valueWarning(path, "is wrong", capitalised(fallback));
        level = fallback;
      }
      break;
    }
    case Kind::kPath:
      out.*std::get<Text>(row.member) = store.getPathOr(path, fallback);
      break;
    case Kind::kYesNo:
      out.*std::get<bool F::*>(row.member) = store.getBoolOr(path, fallback == "yes");
      break;
    case Kind::kNumber:
      out.*std::get<int F::*>(row.member) =
          store.getIntInRange(path, row.min, row.max, atoi(fallback.c_str()));
      break;
    case Kind::kList:
      if (const auto* list = std::get_if<std::list<std::string> F::*>(&row.member)) {
        store.getList(path, out.**list);
      } else {
        store.getList(path, out.*std::get<std::vector<std::string> F::*>(row.member));
      }
      break;
    case Kind::kNumberList:
      store.getIntList(path, out.*std::get<std::vector<int> F::*>(row.member));
      break;
    case Kind::kAppList: {
      std::list<std::string> names;
      store.getList(path, names);
      AppNameSet& set = out.*std::get<AppNameSet F::*>(row.member);
      set = AppNameSet(names.begin(), names.end());
      if (set.empty() && row.fallback != nullptr) {
        valueWarning(path, "is empty", fallback);
        set.insert(fallback);
      }
      break;
    }
  }
}

const Row* SettingsTable::find(const std::string& section, const std::string& key) {
  for (const Row& row : table()) {
    if (strcasecmp(row.section, section.c_str()) == 0 && strcasecmp(row.key, key.c_str()) == 0) {
      return &row;
    }
  }
  return nullptr;
}

const Row* SettingsTable::closest(const std::string& section, const std::string& key) {
  const size_t kLimit = 2;
  const std::string name = lower(section + "/" + key);
  const std::string letters = sortedLetters(lower(key));
  const Row* best = nullptr;
  size_t bestScore = kLimit + 2;
  for (const Row& row : table()) {
    const std::string rowKey = lower(row.key);
    size_t score = slips(name, lower(std::string(row.section) + "/" + row.key), kLimit);
    // Beyond the slips: the key under the wrong section (or none), or its
    // letters scrambled.
    if (score > kLimit) {
      if (sortedLetters(rowKey) != letters) continue;
      score = kLimit + 1;
    }
    if (score < bestScore) {
      best = &row;
      bestScore = score;
    }
  }
  return best;
}
