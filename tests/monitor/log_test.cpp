#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "log.h"
#include "temp_dir.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override { initLog("syslog", "info", "error", "daemon", false, false); }
  TempDir dir_;
};

TEST_F(LogTest, LevelsFilterAndAlertPrintsWarn) {
  std::string file = dir_.path() + "/log";
  initLog(file, "quiet", "quiet", "daemon", false, false);
  logFatal("fatal-quiet");
  EXPECT_EQ(readFile(file), "");

  initLog(file, "ALERT", "quiet", "mail", false, false);
  logAlert("alert-line");
  logInfo("info-line");
  logError("error-line");
  std::string text = readFile(file);
  EXPECT_NE(text.find(" monitor WARN alert-line\n"), std::string::npos);
  EXPECT_NE(text.find(" monitor ERROR error-line\n"), std::string::npos);
  EXPECT_EQ(text.find("info-line"), std::string::npos);
}

TEST_F(LogTest, LongMessageIsCutTo1023) {
  std::string file = dir_.path() + "/log";
  initLog(file, "debug", "quiet", "daemon", false, false);
  logInfo(std::string(2000, 'x'));
  std::string text = readFile(file);
  EXPECT_NE(text.find(std::string(1023, 'x') + "\n"), std::string::npos);
  EXPECT_EQ(text.find(std::string(1024, 'x')), std::string::npos);
}

TEST_F(LogTest, FileRecreatedAfterMoveAndReinit) {
  std::string file = dir_.path() + "/log";
  initLog(file, "info", "quiet", "daemon", false, false);
  logInfo("before");
  ASSERT_EQ(rename(file.c_str(), (file + ".old").c_str()), 0);
  initLog(file, "info", "quiet", "daemon", false, false);
  logInfo("after");
  EXPECT_NE(readFile(file).find("after"), std::string::npos);
  EXPECT_EQ(readFile(file).find("before"), std::string::npos);
  EXPECT_EQ(LogClass::fileName(), file);
}

TEST_F(LogTest, BadWordsAreRefusedAndStateKept) {
  std::string file = dir_.path() + "/log";
  initLog(file, "info", "quiet", "daemon", false, false);
  initLog(file, "info", "quiet", "nonsense", false, false);
  std::string text = readFile(file);
  EXPECT_NE(text.find("error init log system: Error in SyslogFacility value nonsense. "
                      "Use Daemon | Mail | Local0-7\n"),
            std::string::npos);
  EXPECT_THROW(LogClass::levelFromWord("verbose"), std::invalid_argument);
  EXPECT_EQ(LogClass::levelFromWord("Debug"), LogClass::DEBUG);
}

TEST_F(LogTest, SyslogTargetClosesFile) {
  std::string file = dir_.path() + "/log";
  initLog(file, "info", "quiet", "daemon", false, false);
  initLog("syslog", "info", "quiet", "daemon", false, false);
  EXPECT_EQ(LogClass::fileName(), "");
  logInfo("to-syslog");
  EXPECT_EQ(readFile(file).find("to-syslog"), std::string::npos);
}

}  // namespace
