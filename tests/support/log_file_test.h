#ifndef NORVAK_TESTS_SUPPORT_LOG_FILE_TEST_H_
#define NORVAK_TESTS_SUPPORT_LOG_FILE_TEST_H_

#include <gtest/gtest.h>

#include <string>

#include "file_util.h"
#include "frame/log.h"
#include "frame/process_state.h"
#include "temp_dir.h"

// A test whose monitor log goes to a file of its own, so that it can check
// the exact lines; logging returns to syslog afterwards.
class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override { initLog(logFile_, "debug", "quiet", "daemon", false, false); }
  void TearDown() override { initLog("syslog", "info", "error", "daemon", false, false); }

  std::string log() const { return readFile(logFile_); }
  bool logged(const std::string& text) const { return log().find(text) != std::string::npos; }
  // A whole warning line.
  bool warned(const std::string& text) const { return logged(" WARN " + text + "\n"); }

  TempDir dir_;
  std::string logFile_ = dir_.path() + "/monitor.log";
};

// Supervision runs only while the process counts as started; INIT again
// afterwards, so that no state leaks into the next test.
class StartedLogFileTest : public LogFileTest {
 protected:
  void SetUp() override {
    LogFileTest::SetUp();
    setProcessState(STARTED);
  }
  void TearDown() override {
    setProcessState(INIT);
    LogFileTest::TearDown();
  }
};

#endif  // NORVAK_TESTS_SUPPORT_LOG_FILE_TEST_H_
