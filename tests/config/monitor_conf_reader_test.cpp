#include "config/monitor_conf_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <list>
#include <set>
#include <string>
#include <variant>
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

std::string str(const std::string& text) { return text; }
std::string str(bool b) { return b ? "yes" : "no"; }
std::string str(int n) { return std::to_string(n); }
std::string str(const std::vector<int>& v) {
  std::vector<std::string> s;
  for (int n : v) s.push_back(std::to_string(n));
  return joined(s);
}
template <typename Items>
std::string str(const Items& items) {
  return joined(items);
}

std::string valueOf(const MonitorConfReader& reader, const SettingsTable::Row& row) {
  return std::visit([&](auto member) { return str(reader.fileSettings().*member); }, row.member);
}

// Every key: a value to write (nullptr: the fixture writes it), what its
// member holds then, and what it holds without the key (a mandatory one:
// empty); nullptr: not checked.
const struct KeyCase {
  const char* key;
  const char* value;
  const char* read;
  const char* absent;
} kKeys[] = {
    {"FileName", nullptr, nullptr, nullptr},
    {"Level", nullptr, "DEBUG", nullptr},
    {"IPCLevel", "Alert", "Alert", "error"},
    {"SyslogFacility", "Local3", "Local3", "daemon"},
    {"RunForeground", "YES", "yes", "no"},
    {"User", "mailer", "mailer", ""},
    {"Group", "mail", "mail", ""},
    {"ChDir", "/tmp", "/tmp", ""},
    {"MetaConfigDir", "/m", "/m/", "/etc/norvak/monitor.meta/"},
    {"InjectCmd", "/bin/cat -u", "/bin/cat -u", "/usr/sbin/sendmail -t"},
    {"MailsPerMinute", "10000", "10000", "30"},
    {"StableTime", "0", "0", "60"},
    {"AgentResponseTime", "0045", "45", "30"},
    {"AgentAddress", "inet:8000@localhost,", "inet:8000@localhost", ""},
    {"PidFileDir", "/p", "/p/", "/var/norvak/run/"},
    {"Address", "inet:8100@localhost\n   , local:/ipc", "inet:8100@localhost,local:/ipc", ""},
    {"Timeout", "3600", "3600", "30"},
    {"MaxConnections", "2", "2", "32"},
    {"AdminGroup", "staff", "staff", ""},
    {"RunAppList", "MAILD,  AGENT , agent,Filter", "AGENT,Filter,MAILD", "AGENT"},
    {"UseEnterpriseMode", "yes", "yes", "no"},
    {"RecoveryTimeList", "1, 5, 60", "1,5,60", ""},
    {"AdminMail", "a@b", "a@b", ""},
    {"FilterMail", "f@b", "f@b", ""},
    {"MetricsAddress", "[::1]:9310", "[::1]:9310", ""},
};

const KeyCase* caseOf(const SettingsTable::Row& row) {
  for (const KeyCase& k : kKeys) {
    if (strcmp(k.key, row.key) == 0) return &k;
  }
  return nullptr;
}

TEST_F(MonitorConfReaderTest, EveryKeyIsReadAndHasItsDefault) {
  std::string text;
  for (const auto& row : SettingsTable::rows()) {
    ASSERT_NE(caseOf(row), nullptr) << row.path();
    // Keys are found whatever their case.
    if (caseOf(row)->value) {
      text += "[" + std::string(row.section) + "]\n" + lower(row.key) + " = " + caseOf(row)->value +
              "\n";
    }
  }
  write(text, "DEBUG");
  MonitorConfReader reader(conf_);
  expectCheckErrorAfterReload(reader, false);
  reader.reload();
  EXPECT_EQ(reader.getLogType(), logFile_);
  EXPECT_TRUE(isDebugLog());
  EXPECT_FALSE(logged("unknown parameter"));
  for (const auto& row : SettingsTable::rows()) {
    if (caseOf(row)->read) {
      EXPECT_EQ(valueOf(reader, row), caseOf(row)->read) << row.path();
    }
  }

  write(kMandatory);
  reader.reload();
  EXPECT_TRUE(hasCheckError());
  EXPECT_EQ(reader.getMainLoopWait(), 1);
  EXPECT_EQ(reader.getAdminMail(), localSuperuserMailbox());  // no agent will ever answer
  for (const auto& row : SettingsTable::rows()) {
    const KeyCase& k = *caseOf(row);
    if (k.absent) {
      EXPECT_EQ(valueOf(reader, row), k.absent) << row.path();
    }
    // Optional keys are newer than most files: absent without a word.
    if (k.value && row.presence != SettingsTable::Presence::kMandatory) {
      EXPECT_EQ(logged("\"" + row.path() + "\""), row.presence == SettingsTable::Presence::kWarned)
          << row.path();
    }
  }
  const std::string undefined = "undefined parameter \"/";
  for (const std::string& warning : std::vector<std::string>{
           undefined +
               "Monitor/MetaConfigDir\" in config file. Used value \"/etc/norvak/monitor.meta\"",
           "wrong parameter \"/Monitor/AgentResponseTime\": " + undefined +
               "Monitor/AgentResponseTime\" in config file. Used default value 30",
           "value of parameter \"/Monitor/RunAppList\" is empty. Using default value \"AGENT\""}) {
    EXPECT_TRUE(warned(warning)) << warning;
  }
}

TEST_F(MonitorConfReaderTest, LevelWordsAndResponseTime) {
  write(std::string(kMandatory) +
            "AgentResponseTime = 3601\nMailsPerMinute = 0\nMetricsAddress = ::1:9310\n"
            "[Logging]\nIPCLevel = loud\n",
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
  EXPECT_TRUE(warned(
      "value of parameter \"/Monitor/MetricsAddress\" is not host:port. Using default value \"\""));
  EXPECT_EQ(reader.getMetricsAddress(), "");
  std::string host;
  unsigned port = 0;
  for (const char* bad : {"host:", ":80", "host:0", "host:65536", "[]:80", "[::1:80", "h:8x"})
    EXPECT_FALSE(ConfReader::splitHostPort(bad, host, port)) << bad;
  EXPECT_TRUE(ConfReader::splitHostPort("[::1]:65535", host, port));
  EXPECT_EQ(host + ":" + std::to_string(port), "::1:65535");

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
// stands for, but leaves the file valid.
TEST_F(MonitorConfReaderTest, UnknownKeysAreNamedWithTheKeyTheyMostLikelyStandFor) {
  const std::string typos =
      "[Monitor]\nAddress=\nAgentAddress=a\nRunAppList=A\nRunForeground=no\nUser=\nGroup=\n"
      "ChDir=\nMetaConfigDir=/m\nInjectCmd=c\nAgentResponseTime=1\nPidFileDir=/p\nTimeout=1\n"
      "UseEnterpriseMode=no\n[Logging]\nIPCLevel=error\nSyslogFacility=daemon\n[Monitor]\n"
      "RecoveryTimeList=1, 2\nRunAppLst = A\n[Mail]\nTo = x\n"
      "[Logging]\nRunForeground = no\nSysLogFacilty = x\nLeve = x\n";
  write(typos);
  MonitorConfReader reader(conf_);
  expectCheckErrorAfterReload(reader, false);  // the typos alone leave the file valid
  reader.reload();
  const std::string prefix = "config file \"" + conf_ + "\", line ";
  const std::string cases[][3] = {
      {"20", "Monitor/RunAppLst", "/Monitor/RunAppList"},
      {"24", "Logging/RunForeground", "/Monitor/RunForeground"},
      {"25", "Logging/SysLogFacilty", "/Logging/SyslogFacility"},
      {"26", "Logging/Leve", "/Logging/Level"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(warned(prefix + c[0] + ": unknown parameter \"/" + c[1] +
                       "\" ignored; did you mean \"" + c[2] + "\"?"))
        << c[1];
  }
  EXPECT_TRUE(warned(prefix + "22: unknown parameter \"/Mail/To\" ignored"));

  // A misspelt mandatory key is named by its own line too, not only missed.
  write("[Monitor]\nAddress =\nAgentAddress =\nRunAppLsit = A\nRecoveryTimeList =\n");
  EXPECT_EQ(thrownText<conf_store_exception_t>([&] { reader.reload(); }),
            "undefined parameter \"/Monitor/RunAppList\" in config file");
  EXPECT_TRUE(warned(prefix + "4: unknown parameter \"/Monitor/RunAppLsit\" ignored; did you mean "
                              "\"/Monitor/RunAppList\"?"));
}

// Enterprise mode without an agent, and a logging set-up that cannot work.
TEST_F(MonitorConfReaderTest, WholeFileCheckErrors) {
  // Every key valid but the ones under test, so that only they can raise the
  // flag; each child is a fresh process.
  auto conf = [](const std::string& agent, const std::string& enterprise,
                 const std::string& facility, const std::string& file) {
    return "[Monitor]\nAddress=\nAgentAddress=" + agent + "\nRunAppList=A\nRecoveryTimeList=\n"
           "RunForeground=no\nUser=\nGroup=\nChDir=\nMetaConfigDir=/m\nInjectCmd=c\n"
           "AgentResponseTime=1\nPidFileDir=/p\nTimeout=1\nUseEnterpriseMode=" + enterprise +
           "\n[Logging]\nLevel=info\nIPCLevel=error\nSyslogFacility=" + facility +
           "\nFileName=" + file + "\n";
  };
  const std::pair<std::string, bool> cases[] = {
      {conf("", "no", "daemon", logFile_), false},
      {conf("local:/a", "yes", "daemon", logFile_), false},
      {conf("", "yes", "daemon", logFile_), true},
      {conf("a", "no", "kern", logFile_), true},
      {conf("a", "no", "daemon", dir_.path() + "/no/such/dir/log"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    writeFile(conf_, c.first);
    MonitorConfReader reader(conf_);
    expectCheckErrorAfterReload(reader, c.second);
  }
}

// The sample (and so the conf(5) page made from it) parses cleanly and
// documents exactly the table's keys, each in its section with its default,
// or as required, and its range.
TEST_F(MonitorConfReaderTest, SampleDocumentsTheKeysRead) {
  const std::string path = NORVAK_SOURCE_DIR "/examples/monitor.conf";
  conf_store_t store;
  conf_parser_t(path).parse(store);
  EXPECT_FALSE(logged("cannot parse"));
  std::set<std::string> sampleKeys;
  std::set<std::string> tableKeys;
  for (const auto& section : store.sections()) {
    for (const auto& key : section.second) sampleKeys.insert("/" + section.first + "/" + key.first);
  }
  const std::string sample = readFile(path);
  for (const auto& row : SettingsTable::rows()) {
    tableKeys.insert(row.path());
    const size_t section = sample.find("\n[" + std::string(row.section) + "]\n");
    const size_t at = sample.find("\n" + std::string(row.key) + " =", section);
    ASSERT_LT(at, sample.find("\n[", section + 1)) << row.path();
    // The comment block above the key, its lines joined.
    const size_t start = sample.rfind("\n\n", at);
    std::string block = lower(sample.substr(start, at + 1 - start));
    for (size_t n; (n = block.find("\n# ")) != std::string::npos;) block.replace(n, 3, " ");
    std::string def = row.fallback ? lower(row.fallback) : "";
    if (row.kind == SettingsTable::Kind::kPath && !def.empty() && def.back() != '/') def += '/';
    if (row.presence == SettingsTable::Presence::kMandatory) {
      EXPECT_NE(block.find("required"), std::string::npos) << row.path();
      EXPECT_EQ(block.find("default:"), std::string::npos) << row.path();
    } else {
      EXPECT_NE(block.find("default: " + (def.empty() ? "empty" : def) + "\n"), std::string::npos)
          << row.path() << ": " << block;
    }
    if (row.kind == SettingsTable::Kind::kNumber) {
      EXPECT_NE(block.find("(" + str(row.min) + " to " + str(row.max)), std::string::npos)
          << row.path();
    }
  }
  EXPECT_EQ(sampleKeys, tableKeys);
}

}  // namespace
