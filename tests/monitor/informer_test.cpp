#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cmd_informer.h"
#include "informer.h"
#include "log.h"
#include "mail_text.h"
#include "notify_info.h"
#include "run_mode.h"
#include "sender_informer.h"
#include "file_util.h"
#include "temp_dir.h"
#include "utils.h"

namespace {

const char kFakeInject[] = NORVAK_BIN_DIR "/tools/fake-inject";

// 2011-03-13 07:06:40 UTC.
constexpr time_t kFault = 1300000000;

const char kSignature[] =
    "\n---\nSincerely yours,\nNorvak (R) Components Monitor\n"
    "6.0.0.201105110 for FreeBSD\nHost \"mx1\"";

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') names.push_back(dir + "/" + e->d_name);
    }
    closedir(d);
  }
  return names;
}

int threadCount() { return static_cast<int>(listDir("/proc/self/task").size()); }

// Threads report themselves done a moment before they are gone.
bool threadsBackTo(int count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (threadCount() > count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool noChildLeft() {
  int status;
  return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

void setSchedule(const std::vector<int>& delays) {
  NotifyInfo::instance().setIdentity(kProgramTitle, "FreeBSD", kProgramVersion, "mx1", delays);
}

// Splits off the Date line so that the rest can be compared byte for byte.
std::string bodyAfterDate(const std::string& mail, time_t before, time_t after) {
  const size_t eol = mail.find('\n');
  EXPECT_NE(eol, std::string::npos);
  const std::string dateLine = mail.substr(0, eol);
  bool known = false;
  for (time_t t = before; t <= after; ++t) {
    std::string date;
    Utils::dateToString(t, date);
    known = known || dateLine == "Date: " + date;
  }
  EXPECT_TRUE(known) << dateLine;
  return mail.substr(eol + 1);
}

class MailTextTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override { setSchedule({}); }
};

TEST_F(MailTextTest, FailureMailAnnouncesTheRestartSchedule) {
  const std::string head =
      "Subject: ERROR: Component \"scanner\" failed\n\n"
      "Component \"scanner\" (pid=4242, file=/opt/filter/scanner) used in \"Mail filter\" "
      "failed at 07:06:40\n";
  const std::string affected =
      "This could affect operation of the following application(s): \"Reports\", \"Archive\"\n";
  struct Case {
    std::vector<int> delays;
    std::vector<std::string> affectedApps;
    std::string schedule;
  } cases[] = {
      {{}, {}, ""},
      {{10}, {"Reports", "Archive"}, "Monitor has tried to restart \"scanner\" at 07:06:50\n"},
      {{10, 60, 300},
       {"Reports", "Archive"},
       "Monitor has tried to restart \"scanner\" at 07:06:50\n"
       "Further attempts to restart the module will made at: 07:07:50, 07:12:50\n"
       "Once the component is restarted, you will be informed\n"},
  };
  for (const Case& c : cases) {
    setSchedule(c.delays);
    const time_t before = time(nullptr);
    const std::string mail = composeFailureMail(4242, "scanner", kFault, "Mail filter",
                                                "/opt/filter/", c.affectedApps);
    EXPECT_EQ(bodyAfterDate(mail, before, time(nullptr)),
              head + (c.affectedApps.empty() ? "" : affected) + "\n" + c.schedule + kSignature)
        << c.delays.size() << " entries";
  }
}

TEST_F(MailTextTest, RecoveryMailListsTheAbortiveTries) {
  setSchedule({10, 60, 300});
  const std::string head =
      "Subject: INFO: Component \"scanner\" recovery\n\n"
      "Component \"scanner\" (new pid=5000, file=/opt/filter/scanner) used in \"Mail filter\" "
      "which failed at 07:06:40 be recovery at 07:12:51\n";
  time_t before = time(nullptr);
  std::string mail =
      composeRecoveryMail(5000, "scanner", kFault + 371, kFault, 1, "Mail filter", "/opt/filter/");
  EXPECT_EQ(bodyAfterDate(mail, before, time(nullptr)), head + kSignature);

  before = time(nullptr);
  mail =
      composeRecoveryMail(5000, "scanner", kFault + 371, kFault, 3, "Mail filter", "/opt/filter/");
  EXPECT_EQ(bodyAfterDate(mail, before, time(nullptr)),
            head + "Abortive attempts to recovery it were made at 07:06:50, 07:07:50\n" +
                kSignature);
}

TEST_F(MailTextTest, CannotRecoverMailListsEveryTry) {
  const std::string head =
      "Subject: ERROR: Component \"scanner\" cannot recovery\n\n"
      "Component \"scanner\" (new pid=-1, file=/opt/filter/scanner) used in \"Mail filter\" "
      "which failed at 07:06:40 cannot be recovery\n";
  setSchedule({});
  time_t before = time(nullptr);
  std::string mail = composeCannotRecoverMail(-1, "scanner", kFault, "Mail filter", "/opt/filter/");
  EXPECT_EQ(bodyAfterDate(mail, before, time(nullptr)), head + "\n" + kSignature);

  setSchedule({10, 60, 300});
  before = time(nullptr);
  mail = composeCannotRecoverMail(-1, "scanner", kFault, "Mail filter", "/opt/filter/");
  EXPECT_EQ(bodyAfterDate(mail, before, time(nullptr)),
            head + "Abortive attempts to recovery it were made at 07:06:50, 07:07:50, 07:12:50\n" +
                kSignature);
}

// Informers log what they did; each test reads its own log file.
class InformerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logFile_ = dir_.path() + "/log";
    initLog(logFile_, "debug", "quiet", "daemon", false, false);
    NotifyInfo::instance().setAddresses("filter@example.org", "admin@example.org");
    setInjectCmd(std::string(kFakeInject) + " " + mailDir());
    ASSERT_EQ(mkdir(mailDir().c_str(), 0700), 0);
  }
  void TearDown() override {
    EXPECT_TRUE(SenderInformer::waitDeliveries(60));
    EXPECT_TRUE(CmdInformer::waitDeliveries(60));
    EXPECT_TRUE(noChildLeft());
    initLog("syslog", "quiet", "quiet", "daemon", false, false);
  }
  std::string mailDir() const { return dir_.path() + "/mail"; }
  std::string log() const { return readFile(logFile_); }

  TempDir dir_;
  std::string logFile_;
};

TEST_F(InformerTest, CommandGetsTheTextOnItsInput) {
  const std::string out = dir_.path() + "/out";
  std::unique_ptr<Informer> informer = makeInformer(Informer::COMMAND, "cat > " + out);
  ASSERT_NE(informer, nullptr);
  EXPECT_TRUE(informer->inform("line one\nline two"));
  ASSERT_TRUE(CmdInformer::waitDeliveries(60));
  EXPECT_EQ(readFile(out), "line one\nline two");
  EXPECT_NE(log().find("execute command: \"cat > " + out +
                       "\". Transfer message in stdin: line one"),
            std::string::npos);
}

TEST_F(InformerTest, HangingCommandIsKilledWithoutHoldingTheCaller) {
  CmdInformer informer("exec sleep 60", 1);
  EXPECT_TRUE(informer.inform("text"));
  // Still running: inform() did not wait for it.
  EXPECT_EQ(CmdInformer::pendingDeliveries(), 1);
  ASSERT_TRUE(CmdInformer::waitDeliveries(30));
  EXPECT_NE(log().find("informer command \"exec sleep 60\" terminated by signal9"),
            std::string::npos);
}

TEST_F(InformerTest, CommandThatIgnoresItsInputDoesNotHurtTheMonitor) {
  // More than a pipe holds: the write meets a closed pipe (EPIPE, SIGPIPE)
  // or, if the shell is slow to quit, a full one until the time-out.
  CmdInformer informer("exit 0", 2);
  EXPECT_TRUE(informer.inform(std::string(1 << 20, 'x')));
  ASSERT_TRUE(CmdInformer::waitDeliveries(30));
  EXPECT_NE(log().find("error inform: write() error. Data=xxx"), std::string::npos);
}

TEST_F(InformerTest, MailGoesThroughTheInjectCommandWithHeaders) {
  EXPECT_TRUE(SenderInformer().inform("Subject: test\n\nbody"));
  ASSERT_TRUE(SenderInformer::waitDeliveries(60));
  const std::vector<std::string> mails = listDir(mailDir());
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(readFile(mails[0]),
            "From:filter@example.org\nTo:admin@example.org\nSubject: test\n\nbody");
  EXPECT_NE(log().find("Informed successfully"), std::string::npos);
}

TEST_F(InformerTest, AddressesFallBackAndCannotAddHeaders) {
  NotifyInfo::instance().setAddresses("", "");
  EXPECT_TRUE(SenderInformer().inform("one"));
  ASSERT_TRUE(SenderInformer::waitDeliveries(60));
  std::vector<std::string> mails = listDir(mailDir());
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(readFile(mails[0]), "To:" + localSuperuserMailbox() + "\none");
  unlink(mails[0].c_str());

  NotifyInfo::instance().setAddresses("a@x\nBcc:spy@y", "\r\n");
  EXPECT_TRUE(SenderInformer().inform("two"));
  ASSERT_TRUE(SenderInformer::waitDeliveries(60));
  mails = listDir(mailDir());
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(readFile(mails[0]), "From:a@xBcc:spy@y\nTo:" + localSuperuserMailbox() + "\ntwo");
}

TEST_F(InformerTest, FailingMailCommandIsLogged) {
  setInjectCmd("cat > /dev/null; exit 1");
  EXPECT_TRUE(SenderInformer().inform("body"));
  setInjectCmd("kill -9 $$");
  EXPECT_TRUE(SenderInformer().inform(std::string(1 << 20, 'x')));
  ASSERT_TRUE(SenderInformer::waitDeliveries(60));
  const std::string text = log();
  EXPECT_NE(text.find("Informer exited with status: 1"), std::string::npos);
  EXPECT_NE(text.find("Informer was terminated by signal"), std::string::npos);
}

TEST_F(InformerTest, ManyMailsLeaveNoThreadOrProcess) {
  // The shell alone files the mails: the point is the threads and the
  // processes, and a sanitized fake-inject would only slow the test down.
  setInjectCmd("cat > \"$(mktemp " + mailDir() + "/mail.XXXXXX)\"");
  const int before = threadCount();
  constexpr int kMails = 100;
  SenderInformer sender;
  CmdInformer command("cat > /dev/null");
  for (int i = 0; i < kMails; ++i) {
    ASSERT_TRUE(sender.inform("mail " + std::to_string(i)));
    if (i % 10 == 0) {
      ASSERT_TRUE(command.inform("text " + std::to_string(i)));
    }
  }
  ASSERT_TRUE(SenderInformer::waitDeliveries(120));
  ASSERT_TRUE(CmdInformer::waitDeliveries(120));
  EXPECT_EQ(listDir(mailDir()).size(), static_cast<size_t>(kMails));
  EXPECT_TRUE(threadsBackTo(before)) << threadCount() << " threads, " << before << " before";
  EXPECT_TRUE(noChildLeft());
}

}  // namespace
