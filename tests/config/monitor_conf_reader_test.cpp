#include "config/monitor_conf_reader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <list>
#include <string>
#include <vector>

#include "config/conf_store.h"
#include "frame/run_mode.h"
#include "notify/notify_info.h"
#include "log_file_test.h"
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

TEST_F(MonitorConfReaderTest, EverySettingIsRead) {
  write(
      "[MONITOR]\n"
      "RunForeground = yes\nPidFileDir = /p\nUser = mailer\nGroup = mail\nChDir = /tmp\n"
      "MetaConfigDir = /m/\nAgentResponseTime = 0045\nTimeout = 3600\nInjectCmd = /bin/cat -u\n"
      "Address = inet:8100@localhost\n   , local:/ipc\n"
      "AgentAddress = inet:8000@localhost,\n"
      "RunAppList = MAILD,  AGENT , agent,Filter\n"
      "UseEnterpriseMode = YES\nRecoveryTimeList = 1, 5, 60\nMailsPerMinute = 10000\n"
      "StableTime = 0\nMetricsAddress = [::1]:9310\n"
      "[logging]\nipclevel = Alert\nsyslogfacility = Local3\n",
      "DEBUG");
  MonitorConfReader reader(conf_);
  expectCheckErrorAfterReload(reader, false);
  reader.reload();
  EXPECT_EQ(reader.getLogType(), logFile_);
  EXPECT_EQ(LogClass::fileName(), logFile_);
  EXPECT_EQ(reader.getLogLevel(), "DEBUG");
  EXPECT_TRUE(isDebugLog());
  EXPECT_EQ(reader.getIpcLogLevel(), "Alert");
  EXPECT_EQ(reader.getSyslogFacility(), "Local3");
  EXPECT_TRUE(reader.isRunForeground());
  EXPECT_EQ(reader.getPidFileDir(), "/p/");
  EXPECT_EQ(reader.getUser() + reader.getGroup() + reader.getChDir(), "mailermail/tmp");
  EXPECT_EQ(reader.getMetaConfigDir(), "/m/");
  EXPECT_EQ(reader.getAgentResponseTime(), 45);
  EXPECT_EQ(reader.getAddressList(), (std::list<std::string>{"inet:8100@localhost", "local:/ipc"}));
  EXPECT_EQ(reader.getTimeout(), 3600);
  EXPECT_EQ(reader.getInjectCmd(), "/bin/cat -u");
  EXPECT_EQ(reader.getAgentAddressList(), (std::vector<std::string>{"inet:8000@localhost"}));
  EXPECT_EQ(reader.getRunAppList(), (AppNameSet{"AGENT", "Filter", "MAILD"}));
  EXPECT_TRUE(reader.isEnterpriseMode());
  EXPECT_EQ(reader.getRecoveryTimeList(), (std::vector<int>{1, 5, 60}));
  EXPECT_EQ(reader.getMailsPerMinute(), 10000);
  EXPECT_EQ(reader.getStableTime(), 0);
  EXPECT_EQ(reader.getMetricsAddress(), "[::1]:9310");
  EXPECT_FALSE(logged("unknown parameter"));
}

TEST_F(MonitorConfReaderTest, MandatoryKeysOnlyGiveDefaultsWithAWarningEach) {
  write(kMandatory);
  MonitorConfReader reader(conf_);
  reader.reload();
  EXPECT_EQ(reader.getLogLevel() + reader.getIpcLogLevel() + reader.getSyslogFacility(),
            "infoerrordaemon");
  EXPECT_FALSE(reader.isRunForeground());
  EXPECT_EQ(reader.getMainLoopWait(), 1);
  EXPECT_EQ(reader.getPidFileDir(), "/var/norvak/run/");
  EXPECT_EQ(reader.getUser() + reader.getGroup() + reader.getChDir(), "");
  EXPECT_EQ(reader.getMetaConfigDir(), "/etc/norvak/monitor.meta/");
  EXPECT_EQ(reader.getAgentResponseTime(), 30);
  EXPECT_TRUE(reader.getAddressList().empty());
  EXPECT_EQ(reader.getTimeout(), 30);
  EXPECT_EQ(reader.getInjectCmd(), "/usr/sbin/sendmail -t");
  // An empty agent address is a suite without an agent, not a slip.
  EXPECT_FALSE(reader.hasAgent());
  EXPECT_EQ(reader.getAgentAddress(), "");
  EXPECT_FALSE(logged("AgentAddress"));
  EXPECT_EQ(reader.getRunAppList(), (AppNameSet{"AGENT"}));
  EXPECT_FALSE(reader.isEnterpriseMode());
  EXPECT_TRUE(reader.getRecoveryTimeList().empty());
  // No agent will ever answer: the superuser is told from the start.
  EXPECT_EQ(reader.getAdminMail(), localSuperuserMailbox());
  EXPECT_EQ(reader.getFilterMail(), localSuperuserMailbox());
  EXPECT_EQ(reader.getMta(), "");
  EXPECT_TRUE(reader.getAgentRunAppList().empty());
  EXPECT_EQ(reader.getMailsPerMinute(), 30);
  EXPECT_FALSE(logged("MailsPerMinute"));  // optional: absent without a word
  EXPECT_EQ(reader.getStableTime(), 60);
  EXPECT_FALSE(logged("StableTime"));
  EXPECT_TRUE(hasCheckError());

  const std::string undefined = "undefined parameter \"/";
  for (const std::string& text : std::vector<std::string>{
           undefined + "Logging/IPCLevel\" in config file. Used value \"error\"",
           undefined + "Logging/SyslogFacility\" in config file. Used value \"daemon\"",
           undefined + "Monitor/RunForeground\" in config file. Used value \"no\"",
           undefined + "Monitor/User\" in config file. Used value \"\"",
           undefined +
               "Monitor/MetaConfigDir\" in config file. Used value \"/etc/norvak/monitor.meta\"",
           undefined + "Monitor/InjectCmd\" in config file. Used value \"/usr/sbin/sendmail -t\"",
           "wrong parameter \"/Monitor/AgentResponseTime\": " + undefined +
               "Monitor/AgentResponseTime\" in config file. Used default value 30",
           undefined + "Monitor/PidFileDir\" in config file. Used value \"/var/norvak/run/\"",
           "value of parameter \"/Monitor/RunAppList\" is empty. Using default value \"AGENT\"",
           undefined + "Monitor/UseEnterpriseMode\" in config file. Used value \"no\""}) {
    EXPECT_TRUE(warned(text)) << text;
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

// A typo'd key is named with its line but leaves the file valid; a typo'd
// restart delay is a check error.
TEST_F(MonitorConfReaderTest, UnknownKeysWarnAndNonNumericDelaysAreCheckErrors) {
  const std::string valid =
      "[Monitor]\nAddress=\nAgentAddress=a\nRunAppList=A\nRunForeground=no\nUser=\nGroup=\n"
      "ChDir=\nMetaConfigDir=/m\nInjectCmd=c\nAgentResponseTime=1\nPidFileDir=/p\nTimeout=1\n"
      "UseEnterpriseMode=no\n[Logging]\nIPCLevel=error\nSyslogFacility=daemon\n[Monitor]\n";
  const std::string typos =
      valid + "RecoveryTimeList=1, 2\nRunAppLst = A\nadminmail = a@b\n[Mail]\nTo = x\n";
  write(typos);
  MonitorConfReader reader(conf_);
  expectCheckErrorAfterReload(reader, false);  // the typos alone leave the file valid
  reader.reload();
  EXPECT_TRUE(warned("config file \"" + conf_ + "\", line 20: unknown parameter "
                     "\"/Monitor/RunAppLst\" ignored"));
  EXPECT_TRUE(warned("config file \"" + conf_ + "\", line 23: unknown parameter "
                     "\"/Mail/To\" ignored"));
  EXPECT_FALSE(logged("\"/Monitor/adminmail\""));
  EXPECT_EQ(reader.getAdminMail(), "a@b");
  EXPECT_EQ(reader.getFilterMail(), "");

  write(valid + "RecoveryTimeList = 5, 30s, x, -1\n");
  reader.reload();
  EXPECT_EQ(reader.getRecoveryTimeList(), (std::vector<int>{5, 30, 0, -1}));
  EXPECT_TRUE(warned("wrong parameter \"/Monitor/RecoveryTimeList\": value \"30s\" isn't "
                     "number. Used value 30"));
  EXPECT_TRUE(warned("wrong parameter \"/Monitor/RecoveryTimeList\": value \"x\" isn't "
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

}  // namespace
