// The facade through which request threads reach the monitor.
#include "manage/thread_safety_monitor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "monitor_conf_test.h"
#include "thrown_text.h"

namespace {

using Mediator = ThreadSafetyMonitor::Mediator;

class ThreadSafetyMonitorTest : public MonitorConfTest {
 protected:
  void SetUp() override {
    MonitorConfTest::SetUp();
    writeConf("", "");
  }

  void writeConf(const std::string& user, const std::string& group) {
    MonitorConfTest::writeConf("Address =\nUser = " + user + "\nGroup = " + group + "\n");
  }
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
