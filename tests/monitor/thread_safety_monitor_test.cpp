// The facade through which request threads reach the monitor.
#include "monitor/thread_safety_monitor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "file_util.h"
#include "temp_dir.h"
#include "thrown_text.h"

namespace {

using Mediator = ThreadSafetyMonitor::Mediator;

class ThreadSafetyMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"/run", "/meta"}) mkdir((dir_.path() + sub).c_str(), 0755);
    writeFile(dir_.path() + "/meta/agent.mmc",
              "APPLICATION AGENT\n  PATH \"" + dir_.path() +
                  "\"\n  COMPONENTS\n    agent - 5 3 LOG -\n  ENDCOMPONENTS\nENDAPPLICATION\n");
    writeConf("", "");
  }

  void writeConf(const std::string& user, const std::string& group) {
    writeFile(conf(), "[Logging]\nFileName = " + dir_.path() +
                          "/monitor.log\nLevel = Debug\nIPCLevel = Error\n"
                          "[Monitor]\nRunForeground = yes\nPidFileDir = " +
                          dir_.path() + "/run/\nMetaConfigDir = " + dir_.path() +
                          "/meta/\nAddress =\nUser = " + user + "\nGroup = " + group +
                          "\nInjectCmd = /bin/true\nAgentAddress = local:" + dir_.path() +
                          "/run/.agent\nRunAppList = AGENT\nRecoveryTimeList = 1\n");
  }
  std::string conf() const { return dir_.path() + "/monitor.conf"; }

  TempDir dir_;
};

TEST_F(ThreadSafetyMonitorTest, OneMonitorPerProcess) {
  EXPECT_FALSE(Mediator::instance().hasMonitor());
  {
    ThreadSafetyMonitor first(conf(), "", false);
    EXPECT_TRUE(Mediator::instance().hasMonitor());
    EXPECT_EQ(thrownText<Mediator::Error>([&] { ThreadSafetyMonitor second(conf(), "", false); }),
              "mediator re-initialization");
    // The failed second one took nothing from the first.
    EXPECT_TRUE(Mediator::instance().addChangedConf({4242}));
    std::set<pid_t> changed;
    first.getChangedConf(changed);
    EXPECT_EQ(changed, (std::set<pid_t>{4242}));
  }
  // Gone with its monitor: nothing reaches a destroyed one.
  EXPECT_FALSE(Mediator::instance().hasMonitor());
  EXPECT_FALSE(Mediator::instance().addChangedConf({1}));
  ThreadSafetyMonitor next(conf(), "", false);
  EXPECT_TRUE(Mediator::instance().hasMonitor());
}

TEST_F(ThreadSafetyMonitorTest, UserAndGroupWithoutALoneColonAndRefreshedByAReload) {
  ThreadSafetyMonitor monitor(conf(), "", false);
  EXPECT_EQ(Mediator::instance().userGroup(), "");
  EXPECT_EQ(Mediator::instance().mta(), "");

  writeConf("mailer", "");
  monitor.reload();
  EXPECT_EQ(Mediator::instance().userGroup(), "mailer:");
  writeConf("", "mail");
  monitor.reload();
  EXPECT_EQ(Mediator::instance().userGroup(), ":mail");
  writeConf("mailer", "mail");
  monitor.reloadData();
  EXPECT_EQ(Mediator::instance().userGroup(), "mailer:mail");

  // A refused reload leaves the copies with the settings in force.
  writeFile(conf(), "[Monitor]\nUser = intruder\n");
  monitor.reload();
  EXPECT_EQ(Mediator::instance().userGroup(), "mailer:mail");
}

}  // namespace
