#ifndef NORVAK_TESTS_SUPPORT_MONITOR_CONF_TEST_H_
#define NORVAK_TESTS_SUPPORT_MONITOR_CONF_TEST_H_

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "fake_component.h"
#include "file_util.h"
#include "temp_dir.h"

// For a monitor made inside the test process: a directory holding AGENT
// (fake-component linked as bin/agent) and a monitor.conf that runs it and
// logs into the directory.
class MonitorConfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"/bin", "/run", "/meta"}) mkdir((dir_.path() + sub).c_str(), 0755);
    ASSERT_EQ(symlink(kFakeComponent, bin("agent").c_str()), 0);
    writeFile(dir_.path() + "/meta/agent.mmc",
              "APPLICATION AGENT\n  PATH \"" + dir_.path() +
                  "/bin\"\n  COMPONENTS\n    agent - 5 3 LOG -\n  ENDCOMPONENTS\nENDAPPLICATION\n");
    writeConf();
  }

  // The keys of [Monitor] that tests vary, each line with its line end.
  void writeConf(const std::string& monitorKeys = "Address =\n") {
    writeFile(conf(), "[Logging]\nFileName = " + log() +
                          "\nLevel = Debug\nIPCLevel = Error\n"
                          "[Monitor]\nRunForeground = yes\nPidFileDir = " +
                          run() + "\nMetaConfigDir = " + dir_.path() + "/meta/\n" + monitorKeys +
                          "InjectCmd = /bin/true\nAgentAddress = local:" + run() +
                          ".agent\nRunAppList = AGENT\nRecoveryTimeList = 1\n");
  }

  std::string conf() const { return dir_.path() + "/monitor.conf"; }
  std::string log() const { return dir_.path() + "/monitor.log"; }
  std::string run() const { return dir_.path() + "/run/"; }
  std::string bin(const std::string& name) const { return dir_.path() + "/bin/" + name; }

  TempDir dir_;
};

#endif  // NORVAK_TESTS_SUPPORT_MONITOR_CONF_TEST_H_
