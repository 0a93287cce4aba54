#include "config/monitor_conf_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config/conf_parser.h"
#include "config/conf_store.h"
#include "config/settings_table.h"
#include "frame/run_mode.h"
#include "log_file_test.h"
#include "notify/notify_info.h"
#include "thrown_text.h"

namespace {

const char kMandatory[] =
    "[Monitor]\nAddress =\nAgentAddress =\nRunAppList =\nRecoveryTimeList =\n";

class MonitorConfReaderTest : public LogFileTest {
 protected:
  // The reader re-initialises logging: keep it in the test's file.
  void write(const std::string& text, const std::string& level = "info") {
    writeFile(conf_, text + "[Logging]\nFileName = " + logFile_ + "\nLevel = " + level + "\n");
  }

  // The check error flag is process-wide and never cleared: look at it in a
  // freshly executed child that starts without it.
  void expectCheckErrorAfterReload(MonitorConfReader& reader, bool expected) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
          reader.reload();
          const int code = hasCheckError() ? 1 : 0;
          dir_.removeNow();
          exit(code);
        },
        ::testing::ExitedWithCode(expected ? 1 : 0), "");
  }

  std::string conf_ = dir_.path() + "/monitor.conf";
};

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), ::tolower);
  return text;
}

template <typename Items>
std::string joined(const Items& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}

using Reader = const MonitorConfReader&;
std::string str(int n) { return std::to_string(n); }
std::string str(bool b) { return b ? "yes" : "no"; }
std::string str(const std::vector<int>& v) {
  std::vector<std::string> s;
  for (int n : v) s.push_back(std::to_string(n));
  return joined(s);
}

// Every key: a value to write (nullptr: the fixture writes it), what its
// getter gives then, and what it gives without the key (a mandatory one:
// empty); nullptr: not checked.
const struct {
  const char* path;
  const char* value;
  const char* read;
  const char* absent;
  std::string (*get)(Reader);
} kKeys[] = {
    {"/Logging/FileName", nullptr, nullptr, nullptr, [](Reader r) { return r.getLogType(); }},
    {"/Logging/Level", nullptr, "DEBUG", nullptr, [](Reader r) { return r.getLogLevel(); }},
    {"/Logging/IPCLevel", "Alert", "Alert", "error", [](Reader r) { return r.getIpcLogLevel(); }},
    {"/Logging/SyslogFacility", "Local3", "Local3", "daemon",
     [](Reader r) { return r.getSyslogFacility(); }},
    {"/Monitor/RunForeground", "YES", "yes", "no",
     [](Reader r) { return str(r.isRunForeground()); }},
    {"/Monitor/User", "mailer", "mailer", "", [](Reader r) { return r.getUser(); }},
    {"/Monitor/Group", "mail", "mail", "", [](Reader r) { return r.getGroup(); }},
    {"/Monitor/ChDir", "/tmp", "/tmp", "", [](Reader r) { return r.getChDir(); }},
    {"/Monitor/MetaConfigDir", "/m", "/m/", "/etc/norvak/monitor.meta/",
     [](Reader r) { return r.getMetaConfigDir(); }},
    {"/Monitor/InjectCmd", "/bin/cat -u", "/bin/cat -u", "/usr/sbin/sendmail -t",
     [](Reader r) { return r.getInjectCmd(); }},
    {"/Monitor/MailsPerMinute", "10000", "10000", "30",
     [](Reader r) { return str(r.getMailsPerMinute()); }},
    {"/Monitor/StableTime", "0", "0", "60", [](Reader r) { return str(r.getStableTime()); }},
    {"/Monitor/AgentResponseTime", "0045", "45", "30",
     [](Reader r) { return str(r.getAgentResponseTime()); }},
    {"/Monitor/AgentAddress", "inet:8000@localhost,", "inet:8000@localhost", "",
     [](Reader r) { return joined(r.getAgentAddressList()); }},
    {"/Monitor/PidFileDir", "/p", "/p/", "/var/norvak/run/",
     [](Reader r) { return r.getPidFileDir(); }},
    {"/Monitor/Address", "inet:8100@localhost\n   , local:/ipc", "inet:8100@localhost,local:/ipc",
     "", [](Reader r) { return joined(r.getAddressList()); }},
    {"/Monitor/Timeout", "3600", "3600", "30", [](Reader r) { return str(r.getTimeout()); }},
    {"/Monitor/MaxConnections", "2", "2", "32",
     [](Reader r) { return str(r.getMaxConnections()); }},
    {"/Monitor/AdminGroup", "staff", "staff", "", [](Reader r) { return r.getAdminGroup(); }},
    {"/Monitor/RunAppList", "MAILD,  AGENT , agent,Filter", "AGENT,Filter,MAILD", "AGENT",
     [](Reader r) { return joined(r.getRunAppList()); }},
    {"/Monitor/UseEnterpriseMode", "yes", "yes", "no",
     [](Reader r) { return str(r.isEnterpriseMode()); }},
    {"/Monitor/RecoveryTimeList", "1, 5, 60", "1,5,60", "",
     [](Reader r) { return str(r.getRecoveryTimeList()); }},
    {"/Monitor/AdminMail", "a@b", "a@b", "", [](Reader r) { return r.getFileAdminMail(); }},
    {"/Monitor/FilterMail", "f@b", "f@b", "", [](Reader r) { return r.getFileFilterMail(); }},
};

const SettingsTable::Row& rowOf(const std::string& path) {
  std::string section;
  std::string key;
  conf_store_t::splitPath(path, section, key);
  const SettingsTable::Row* row = SettingsTable::find(section, key);
  if (row == nullptr) throw std::logic_error("no key " + path);
  return *row;
}

TEST_F(MonitorConfReaderTest, EveryKeyIsReadAndHasItsDefault) {
  std::set<std::string> tested;
  std::string text;
  for (const auto& k : kKeys) {
    tested.insert(rowOf(k.path).path());
    // Keys are found whatever their case.
    if (k.value)
      text += "[" + std::string(rowOf(k.path).section) + "]\n" + lower(rowOf(k.path).key) + " = " +
              k.value + "\n";
  }
  EXPECT_EQ(tested.size(), SettingsTable::rows().size());
  write(text, "DEBUG");
  MonitorConfReader reader(conf_);
  expectCheckErrorAfterReload(reader, false);
  reader.reload();
  EXPECT_EQ(reader.getLogType(), logFile_);
  EXPECT_TRUE(isDebugLog());
  EXPECT_FALSE(logged("unknown parameter"));
  for (const auto& k : kKeys) {
    if (k.read) {
      EXPECT_EQ(k.get(reader), k.read) << k.path;
    }
  }

  write(kMandatory);
  reader.reload();
  EXPECT_TRUE(hasCheckError());
  EXPECT_EQ(reader.getMainLoopWait(), 1);
  EXPECT_EQ(reader.getAdminMail(), localSuperuserMailbox());  // no agent will ever answer
  for (const auto& k : kKeys) {
    if (k.absent) {
      EXPECT_EQ(k.get(reader), k.absent) << k.path;
    }
    // Optional keys are newer than most files: absent without a word.
    const auto presence = rowOf(k.path).presence;
    if (k.value && presence != SettingsTable::Presence::kMandatory) {
      EXPECT_EQ(logged(std::string("\"") + k.path + "\""),
                presence == SettingsTable::Presence::kWarned)
          << k.path;
    }
  }
  const std::string undefined = "undefined parameter \"/";
  for (const std::string& warning : std::vector<std::string>{
           undefined + "Monitor/User\" in config file. Used value \"\"",
           undefined +
               "Monitor/MetaConfigDir\" in config file. Used value \"/etc/norvak/monitor.meta\"",
           "wrong parameter \"/Monitor/AgentResponseTime\": " + undefined +
               "Monitor/AgentResponseTime\" in config file. Used default value 30",
           "value of parameter \"/Monitor/RunAppList\" is empty. Using default value \"AGENT\"",
           undefined + "Monitor/UseEnterpriseMode\" in config file. Used value \"no\""}) {
    EXPECT_TRUE(warned(warning)) << warning;
  }
}

TEST_F(MonitorConfReaderTest, LevelWordsAndResponseTime) {
  write(std::string(kMandatory) +
            "AgentResponseTime = 3601\nMailsPerMinute = 0\n[Logging]\nIPCLevel = loud\n",
        "verbose");
  MonitorConfReader reader(conf_);
  reader.reload();
  EXPECT_TRUE(
      warned("value of parameter \"/Logging/Level\" is wrong. Using default value \"Info\""));
  EXPECT_TRUE(
      warned("value of parameter \"/Logging/IPCLevel\" is wrong. Using default value \"Error\""));
  EXPECT_EQ(reader.getLogLevel() + reader.getIpcLogLevel(), "infoerror");
  EXPECT_TRUE(
      warned("wrong parameter \"/Monitor/AgentResponseTime\": parameter must be inside "
             "the interval [ 1, 3600 ]. Used default value 30"));
  EXPECT_EQ(reader.getAgentResponseTime(), 30);
  EXPECT_TRUE(
      warned("wrong parameter \"/Monitor/MailsPerMinute\": parameter must be inside "
             "the interval [ 1, 10000 ]. Used default value 30"));
  EXPECT_EQ(reader.getMailsPerMinute(), 30);

  write(std::string(kMandatory) + "AgentResponseTime = 0\n", "QUIET");
  reader.reload();
  EXPECT_EQ(reader.getLogLevel(), "QUIET");
  EXPECT_EQ(reader.getAgentResponseTime(), 30);
}

TEST_F(MonitorConfReaderTest, MissingMandatoryKeyThrowsAndKeepsPreviousSettings) {
  const char* keys[] = {"Address", "AgentAddress", "RunAppList", "RecoveryTimeList"};
  MonitorConfReader reader(conf_);
  write(std::string(kMandatory) + "Address = local:/a, local:/b\nRunAppList = MAILD\n");
  reader.reload();
  write(std::string(kMandatory) + "Address = local:/a\n");
  reader.reload();
  ASSERT_EQ(reader.getAddressList(), (std::list<std::string>{"local:/a"}));
  for (const char* key : keys) {
    std::string text = "[Monitor]\nUser = changed\n";
    for (const char* other : keys) {
      if (other != key) text += std::string(other) + " = local:/c\n";
    }
    write(text);
    EXPECT_EQ(thrownText<conf_store_exception_t>([&] { reader.reload(); }),
              "undefined parameter \"/Monitor/" + std::string(key) + "\" in config file");
    EXPECT_EQ(reader.getUser(), "");
    EXPECT_EQ(reader.getAddressList(), (std::list<std::string>{"local:/a"}));
  }
}

// A typo'd key is named with its line, and with the key it most likely
// stands for, but leaves the file valid; a typo'd restart delay is a check
// error.
TEST_F(MonitorConfReaderTest, UnknownKeysWarnAndNonNumericDelaysAreCheckErrors) {
  const std::string valid =
      "[Monitor]\nAddress=\nAgentAddress=a\nRunAppList=A\nRunForeground=no\nUser=\nGroup=\n"
      "ChDir=\nMetaConfigDir=/m\nInjectCmd=c\nAgentResponseTime=1\nPidFileDir=/p\nTimeout=1\n"
      "UseEnterpriseMode=no\n[Logging]\nIPCLevel=error\nSyslogFacility=daemon\n[Monitor]\n";
  const std::string typos =
      valid +
      "RecoveryTimeList=1, 2\nRunAppLst = A\nadminmail = a@b\n[Mail]\nTo = x\n"
      "[Logging]\nRunForeground = no\nSysLogFacilty = x\nLeve = x\n";
  write(typos);
  MonitorConfReader reader(conf_);
  expectCheckErrorAfterReload(reader, false);  // the typos alone leave the file valid
  reader.reload();
  const std::string prefix = "config file \"" + conf_ + "\", line ";
  const std::string cases[][3] = {
      {"20", "Monitor/RunAppLst", "/Monitor/RunAppList"},
      {"25", "Logging/RunForeground", "/Monitor/RunForeground"},
      {"26", "Logging/SysLogFacilty", "/Logging/SyslogFacility"},
      {"27", "Logging/Leve", "/Logging/Level"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(warned(prefix + c[0] + ": unknown parameter \"/" + c[1] +
                       "\" ignored; did you mean \"" + c[2] + "\"?"))
        << c[1];
  }
  EXPECT_TRUE(warned(prefix + "23: unknown parameter \"/Mail/To\" ignored"));
  EXPECT_FALSE(logged("\"/Monitor/adminmail\""));
  EXPECT_EQ(reader.getAdminMail(), "a@b");

  // A misspelt mandatory key is named by its own line too, not only missed.
  write("[Monitor]\nAddress =\nAgentAddress =\nRunAppLsit = A\nRecoveryTimeList =\n");
  EXPECT_EQ(thrownText<conf_store_exception_t>([&] { reader.reload(); }),
            "undefined parameter \"/Monitor/RunAppList\" in config file");
  EXPECT_TRUE(warned(prefix + "4: unknown parameter \"/Monitor/RunAppLsit\" ignored; did you mean "
                              "\"/Monitor/RunAppList\"?"));

  write(valid + "RecoveryTimeList = 5, 30s, x, -1\n");
  reader.reload();
  EXPECT_EQ(reader.getRecoveryTimeList(), (std::vector<int>{5, 30, 0, -1}));
  EXPECT_TRUE(
      warned("wrong parameter \"/Monitor/RecoveryTimeList\": value \"30s\" isn't "
             "number. Used value 30"));
  EXPECT_TRUE(
      warned("wrong parameter \"/Monitor/RecoveryTimeList\": value \"x\" isn't "
             "number. Used value 0"));
  EXPECT_TRUE(hasCheckError());
}

TEST_F(MonitorConfReaderTest, EnterpriseModeWithoutAnAgentIsACheckError) {
  const std::string base =
      "[Monitor]\nAddress=\nRunAppList=A\nRecoveryTimeList=\nRunForeground=no\nUser=\n"
      "Group=\nChDir=\nMetaConfigDir=/m\nInjectCmd=c\nAgentResponseTime=1\nPidFileDir=/p\n"
      "Timeout=1\n[Logging]\nIPCLevel=error\nSyslogFacility=daemon\n[Monitor]\n";
  const struct {
    const char* agent;
    const char* enterprise;
    bool error;
  } cases[] = {{"", "no", false}, {"local:/a", "yes", false}, {"", "yes", true}};
  for (const auto& c : cases) {
    write(base + "AgentAddress=" + c.agent + "\nUseEnterpriseMode=" + c.enterprise + "\n");
    MonitorConfReader reader(conf_);
    expectCheckErrorAfterReload(reader, c.error);
  }
}

TEST_F(MonitorConfReaderTest, BrokenLoggingSetupIsACheckError) {
  // Every key valid but the one under test, so that only the logging set-up
  // can raise the flag; each child is a fresh process.
  auto conf = [](const std::string& facility, const std::string& file) {
    return "[Monitor]\nAddress=\nAgentAddress=a\nRunAppList=A\nRecoveryTimeList=\n"
           "RunForeground=no\nUser=\nGroup=\nChDir=\nMetaConfigDir=/m\nInjectCmd=c\n"
           "AgentResponseTime=1\nPidFileDir=/p\nTimeout=1\nUseEnterpriseMode=no\n"
           "[Logging]\nLevel=info\nIPCLevel=error\nSyslogFacility=" +
           facility + "\nFileName=" + file + "\n";
  };
  const std::pair<std::string, bool> cases[] = {
      {conf("daemon", logFile_), false},
      {conf("kern", logFile_), true},
      {conf("daemon", dir_.path() + "/no/such/dir/log"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    writeFile(conf_, c.first);
    MonitorConfReader reader(conf_);
    expectCheckErrorAfterReload(reader, c.second);
  }
}

// The text of each key's entry in the generated conf(5) page, by path, in
// lower case and unescaped, its lines joined by blanks.
std::map<std::string, std::string> pageEntries() {
  std::ifstream in(NORVAK_BIN_DIR "/dist/norvak-monitor.conf.5");
  EXPECT_TRUE(in.good());
  std::map<std::string, std::string> entries;
  std::string line;
  std::string section;
  std::vector<std::string> keys;
  bool names = false;
  while (std::getline(in, line)) {
    if (line.compare(0, 3, ".SH") == 0 || line.compare(0, 3, ".SS") == 0) {
      section = line.compare(0, 5, ".SS [") == 0 ? line.substr(5, line.size() - 6) : "";
      keys.clear();
    } else if (line == ".TP") {
      names = !section.empty();
    } else if (names) {  // ".B Key" or ".BR Key ", " Other"
      names = false;
      keys.clear();
      for (size_t at = line.find(' '); at != std::string::npos; at = line.find(" \", \" ", at)) {
        at += line[at + 1] == '"' ? 6 : 1;
        keys.push_back("/" + section + "/" + line.substr(at, line.find(' ', at) - at));
      }
    } else {
      for (const char* mark : {"\\fB", "\\fR", "\\&", "\\"}) {
        for (size_t at; (at = line.find(mark)) != std::string::npos;) line.erase(at, strlen(mark));
      }
      for (const auto& key : keys) entries[key] += lower(line) + " ";
    }
  }
  return entries;
}

// The sample and the page made from it document exactly the table's keys,
// with the same defaults and ranges.
TEST_F(MonitorConfReaderTest, SampleAndPageDocumentTheKeysRead) {
  conf_store_t sample;
  conf_parser_t(NORVAK_SOURCE_DIR "/examples/monitor.conf").parse(sample);
  EXPECT_FALSE(logged("cannot parse"));
  std::set<std::string> sampleKeys;
  for (const auto& section : sample.sections()) {
    for (const auto& key : section.second) sampleKeys.insert("/" + section.first + "/" + key.first);
  }
  const auto page = pageEntries();
  std::set<std::string> tableKeys;
  for (const auto& row : SettingsTable::rows()) {
    tableKeys.insert(row.path());
    const std::string entry = page.count(row.path()) ? page.at(row.path()) : "";
    std::string def = row.fallback ? lower(row.fallback) : "";
    if (row.kind == SettingsTable::Kind::kPath && !def.empty() && def.back() != '/') def += '/';
    if (row.presence == SettingsTable::Presence::kMandatory) {
      EXPECT_NE(entry.find("required"), std::string::npos) << row.path();
      EXPECT_EQ(entry.find("default:"), std::string::npos) << row.path();
    } else {
      EXPECT_NE(entry.find("default: " + (def.empty() ? "empty" : def) + ". "), std::string::npos)
          << row.path() << ": " << entry;
    }
    if (row.kind == SettingsTable::Kind::kNumber) {
      EXPECT_NE(entry.find("(" + str(row.min) + " to " + str(row.max)), std::string::npos)
          << row.path();
    }
  }
  EXPECT_EQ(sampleKeys, tableKeys);
  std::set<std::string> pageKeys;
  for (const auto& entry : page) pageKeys.insert(entry.first);
  EXPECT_EQ(pageKeys, tableKeys);
}

}  // namespace
