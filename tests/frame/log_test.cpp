#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "file_util.h"
#include "frame/log.h"
#include "frame/run_mode.h"
#include "temp_dir.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override { initLog("syslog", "info", "error", "daemon", false, false); }
  void init(const std::string& level, const std::string& facility = "daemon") {
    initLog(file_, level, "quiet", facility, false, false);
  }
  TempDir dir_;
  std::string file_ = dir_.path() + "/log";
};

TEST_F(LogTest, LevelsFilterAlertPrintsWarnAndLinesAreCut) {
  init("quiet");
  logFatal("fatal-quiet");
  EXPECT_EQ(readFile(file_), "");

  init("ALERT", "mail");
  logAlert("alert-line");
  logInfo("info-line");
  logError("error-line");
  std::string text = readFile(file_);
  EXPECT_NE(text.find(" monitor WARN alert-line\n"), std::string::npos);
  EXPECT_NE(text.find(" monitor ERROR error-line\n"), std::string::npos);
  EXPECT_EQ(text.find("info-line"), std::string::npos);

  init("debug");
  logInfo(std::string(2000, 'x'));
  text = readFile(file_);
  EXPECT_NE(text.find(std::string(1023, 'x') + "\n"), std::string::npos);
  EXPECT_EQ(text.find(std::string(1024, 'x')), std::string::npos);
}

TEST_F(LogTest, ReinitReopensRefusesBadWordsAndSwitchesToSyslog) {
  init("info");
  logInfo("before");
  ASSERT_EQ(rename(file_.c_str(), (file_ + ".old").c_str()), 0);
  init("info");
  logInfo("after");
  EXPECT_NE(readFile(file_).find("after"), std::string::npos);
  EXPECT_EQ(readFile(file_).find("before"), std::string::npos);
  EXPECT_EQ(LogClass::fileName(), file_);

  init("info", "nonsense");
  EXPECT_NE(readFile(file_).find("error init log system: Error in SyslogFacility value nonsense. "
                                 "Use Daemon | Mail | Local0-7\n"),
            std::string::npos);
  EXPECT_THROW(LogClass::levelFromWord("verbose"), std::invalid_argument);
  EXPECT_EQ(LogClass::levelFromWord("Debug"), LogClass::DEBUG);

  initLog("syslog", "info", "quiet", "daemon", false, false);
  EXPECT_EQ(LogClass::fileName(), "");
  logInfo("to-syslog");
  EXPECT_EQ(readFile(file_).find("to-syslog"), std::string::npos);
}

// The first initialisation fixes the check flags for the life of the
// process, so this runs in a fresh copy of the test program.
void checkModeRun(TempDir& tmp) {
  const std::string file = tmp.path() + "/log";
  const std::string echo = tmp.path() + "/stdout";
  int fd = open(echo.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || dup2(fd, 1) != 1) _exit(10);
  initLog(file, "debug", "debug", "daemon", true, false);
  logDebug("debug-line");
  logInfo("info-line");
  logAlert("alert-line");
  fflush(stdout);
  // A later reload keeps check mode whatever flags it passes.
  initLog(file, "debug", "debug", "daemon", false, false);
  logInfo("info-after-reload");
  fflush(stdout);
  const std::string logged = readFile(file);
  const std::string echoed = readFile(echo);
  bool ok = isCheckMode() && !isCheckAll() && ipcLog().level() == LogClass::ERROR &&
            logged.find("debug-line") == std::string::npos &&
            logged.find("info-line") == std::string::npos &&
            logged.find("info-after-reload") == std::string::npos &&
            logged.find(" monitor WARN alert-line\n") != std::string::npos &&
            echoed.find(" monitor WARN alert-line\n") != std::string::npos &&
            echoed.find("info-line") == std::string::npos;
  tmp.removeNow();
  _exit(ok ? 0 : 1);
}

TEST(LogCheckModeTest, LevelsFixedAndLinesEchoed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  EXPECT_EXIT(checkModeRun(dir), ::testing::ExitedWithCode(0), "");
}

}  // namespace
