#include "notify/informer.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "frame/run_mode.h"
#include "frame/utils.h"
#include "log_file_test.h"
#include "notify/cmd_informer.h"
#include "notify/log_informer.h"
#include "notify/mail_text.h"
#include "notify/notify_info.h"
#include "notify/notify_limiter.h"
#include "notify/sender_informer.h"
#include "proc_util.h"
#include "wait_util.h"

namespace {

const char kFakeInject[] = NORVAK_BIN_DIR "/tools/fake-inject";

// 2011-03-13 07:06:40 UTC.
constexpr time_t kFault = 1300000000;

const char kSignature[] =
    "\n---\nSincerely yours,\nNorvak (R) Components Monitor\n"
    "6.0.0.201105110 for FreeBSD\nHost \"mx1\"";

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  Utils::listDir(dir + "/", names);
  return names;
}

void setSchedule(const std::vector<int>& delays) {
  NotifyInfo::instance().setIdentity(kProgramTitle, "FreeBSD", kProgramVersion, "mx1", delays);
}

TEST(MailTextTest, TextsFollowTheRestartSchedule) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::string failed =
      "Subject: ERROR: Component \"scanner\" failed\n\n"
      "Component \"scanner\" (pid=4242, file=/opt/filter/scanner) used in \"Mail filter\" "
      "failed at 07:06:40\n";
  const std::string affected =
      "This could affect operation of the following application(s): \"Reports\", \"Archive\"\n";
  const std::string recovered =
      "Subject: INFO: Component \"scanner\" recovery\n\n"
      "Component \"scanner\" (new pid=5000, file=/opt/filter/scanner) used in \"Mail filter\" "
      "which failed at 07:06:40 be recovery at 07:12:51\n";
  const std::string lost =
      "Subject: ERROR: Component \"scanner\" cannot recovery\n\n"
      "Component \"scanner\" (new pid=-1, file=/opt/filter/scanner) used in \"Mail filter\" "
      "which failed at 07:06:40 cannot be recovery\n";
  auto failure = [](std::vector<std::string> apps) {
    return [apps] {
      return composeFailureMail(4242, "scanner", kFault, "Mail filter", "/opt/filter/", apps);
    };
  };
  // The times of the tries actually made, late ones included, not the
  // schedule's.
  auto recovery = [](std::vector<time_t> abortive) {
    return [abortive] {
      return composeRecoveryMail(5000, "scanner", kFault + 371, kFault, abortive, "Mail filter",
                                 "/opt/filter/");
    };
  };
  auto cannotRecover = [](std::vector<time_t> attempts) {
    return [attempts] {
      return composeCannotRecoverMail(-1, "scanner", kFault, attempts, "Mail filter",
                                      "/opt/filter/");
    };
  };
  const std::vector<int> three{10, 60, 300};
  const struct {
    std::vector<int> delays;
    std::function<std::string()> compose;
    std::string text;
  } cases[] = {
      {{}, failure({}), failed + "\n"},
      {{10},
       failure({"Reports", "Archive"}),
       failed + affected + "\nMonitor has tried to restart \"scanner\" at 07:06:50\n"},
      {three, failure({"Reports", "Archive"}),
       failed + affected +
           "\nMonitor has tried to restart \"scanner\" at 07:06:50\n"
           "Further attempts to restart the module will made at: 07:07:50, 07:12:50\n"
           "Once the component is restarted, you will be informed\n"},
      {three, recovery({}), recovered},
      {three, recovery({kFault + 11, kFault + 72}),
       recovered + "Abortive attempts to recovery it were made at 07:06:51, 07:07:52\n"},
      {{}, cannotRecover({}), lost + "\n"},
      {three, cannotRecover({kFault + 10, kFault + 70, kFault + 373}),
       lost + "Abortive attempts to recovery it were made at 07:06:50, 07:07:50, 07:12:53\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    setSchedule(c.delays);
    const time_t before = time(nullptr);
    const std::string mail = c.compose();
    const time_t after = time(nullptr);
    // The Date line is the time of writing; the rest compares byte for byte.
    const size_t eol = mail.find('\n');
    ASSERT_NE(eol, std::string::npos);
    bool dated = false;
    for (time_t t = before; t <= after; ++t) {
      std::string date;
      Utils::dateToString(t, date);
      dated = dated || mail.substr(0, eol) == "Date: " + date;
    }
    EXPECT_TRUE(dated) << mail.substr(0, eol);
    EXPECT_EQ(mail.substr(eol + 1), c.text + kSignature);
  }
  setSchedule({});
}

TEST(MailTextTest, HeldBackSummaryAndTheComponentOfAReport) {
  setenv("TZ", "UTC", 1);
  tzset();
  setSchedule({});
  const std::string summary = composeHeldBackMail({{"scanner", 12}, {"av", 1}}, 30, kFault);
  EXPECT_EQ(summary.substr(summary.find('\n') + 1),
            "Subject: WARNING: 13 notification(s) held back\n\nMore than 30 notifications in the "
            "minute from 07:06:40; these were not sent:\nComponent \"av\": 1\n"
            "Component \"scanner\": 12\n" + std::string(kSignature));
  const std::pair<std::string, std::string> reports[] = {
      {composeFailureMail(1, "scanner", kFault, "A", "/d/", {"B"}), "scanner"},
      {composeRecoveryMail(1, "a \"q\" b", kFault, kFault, {kFault}, "A", "/d/"), "a \"q\" b"},
      {composeCannotRecoverMail(1, "x", kFault, {}, "Component \"y\"", "/d/"), "x"},
      {summary, ""},
      {"Subject: Component \"z\" failed", ""},  // not a composed report
  };
  for (const auto& r : reports) EXPECT_EQ(reportedComponent(r.first), r.second) << r.first;
}

class NotifyLimiterTest : public LogFileTest {
 protected:
  NotifyLimiter::Route into(std::vector<std::string>* texts) {
    return [texts](const std::string& text) {
      texts->push_back(text);
      return true;
    };
  }
  FakeClock clock_;
  uint64_t dropped_ = 0;
  NotifyLimiter limiter_{clock_, [this] { return dropped_; }};
};

TEST_F(NotifyLimiterTest, OverTheLimitIsHeldBackAndSummedUpOnceAMinute) {
  limiter_.setLimit(3);
  std::vector<std::string> first, later;
  const Clock::MonoTime start = clock_.monoNow();
  const struct {
    int wait;  // seconds before it
    const char* name;
    bool sent;
  } minute[] = {{0, "a", true},   {10, "b", true}, {0, "a", true},  {0, "a", false},
                {49, "b", false}, {0, "a", false}, {0, "c", false}};
  for (const auto& n : minute) {
    clock_.advance(std::chrono::seconds(n.wait));
    EXPECT_EQ(limiter_.admit(n.name, into(first.empty() ? &first : &later)), n.sent) << n.name;
  }
  Clock::MonoTime at;
  ASSERT_TRUE(limiter_.due(&at));
  EXPECT_TRUE(at == start + NotifyLimiter::kMinute);
  limiter_.flush(at - std::chrono::seconds(1));
  EXPECT_TRUE(first.empty());
  // Once, on the path of the first one held back.
  limiter_.flush(at);
  limiter_.flush(at);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_NE(first[0].find("\nComponent \"a\": 2\nComponent \"b\": 1\nComponent \"c\": 1\n\n"),
            std::string::npos);
  EXPECT_TRUE(warned("4 notification(s) over the limit of 3 a minute held back: "
                     "\"a\" 2, \"b\" 1, \"c\" 1"));
  EXPECT_FALSE(limiter_.due(&at));

  // Without flush(), the first notification past the minute brings the
  // summary before it and opens the next minute.
  limiter_.setLimit(1);
  EXPECT_TRUE(limiter_.admit("a", into(&later)));
  EXPECT_FALSE(limiter_.admit("b", into(&first)));
  clock_.advance(NotifyLimiter::kMinute);
  EXPECT_TRUE(limiter_.admit("c", into(&later)));
  ASSERT_EQ(first.size(), 2u);
  EXPECT_NE(first[1].find("\nComponent \"b\": 1\n\n"), std::string::npos);
  EXPECT_TRUE(later.empty());
}

TEST_F(NotifyLimiterTest, DroppedDeliveriesAreLoggedOnceAMinute) {
  const struct {
    int wait;        // seconds before the flush
    uint64_t total;  // dropped so far
    const char* alert;
  } steps[] = {{0, 0, nullptr},  {1, 5, "5"}, {1, 7, nullptr},
               {58, 9, nullptr}, {1, 9, "4"}, {100, 10, "1"}};
  const std::string kDropped =
      " notification(s) dropped: the delivery queue was full (256 waiting)\n";
  for (const auto& s : steps) {
    clock_.advance(std::chrono::seconds(s.wait));
    dropped_ = s.total;
    const size_t before = log().size();
    limiter_.flush(clock_.monoNow());
    const std::string alert = s.alert ? s.alert + kDropped : "";
    const std::string written = log().substr(before);
    EXPECT_EQ(written.substr(written.size() - std::min(written.size(), alert.size())), alert);
    EXPECT_EQ(written.empty(), alert.empty()) << written;
  }
}

// Informers log what they did; each test reads its own log file.
class InformerTest : public LogFileTest {
 protected:
  void SetUp() override {
    LogFileTest::SetUp();
    // Only the test for the limit is about it.
    NotifyLimiter::instance().setLimit(10000);
    NotifyInfo::instance().setAddresses("filter@example.org", "admin@example.org");
    setInjectCmd(std::string(kFakeInject) + " " + mailDir());
    ASSERT_EQ(mkdir(mailDir().c_str(), 0700), 0);
  }
  void TearDown() override {
    EXPECT_TRUE(SenderInformer::waitDeliveries(60));
    EXPECT_TRUE(CmdInformer::waitDeliveries(60));
    EXPECT_TRUE(noChildLeft());
    LogFileTest::TearDown();
  }
  std::string mailDir() const { return dir_.path() + "/mail"; }
};

TEST_F(InformerTest, CommandGetsTheTextAndADeafOneIsNoHarm) {
  const std::string out = dir_.path() + "/out";
  std::unique_ptr<Informer> informer = makeInformer(Informer::COMMAND, "cat > " + out);
  ASSERT_NE(informer, nullptr);
  EXPECT_TRUE(informer->inform("line one\nline two"));
  ASSERT_TRUE(CmdInformer::waitDeliveries(60));
  EXPECT_EQ(readFile(out), "line one\nline two");
  EXPECT_TRUE(
      logged("execute command: \"cat > " + out + "\". Transfer message in stdin: line one"));

  // More than a pipe holds: the write meets a closed pipe (EPIPE, SIGPIPE)
  // or, if the shell is slow to quit, a full one until the time-out.
  CmdInformer deaf("exit 0", 2);
  EXPECT_TRUE(deaf.inform(std::string(1 << 20, 'x')));
  ASSERT_TRUE(CmdInformer::waitDeliveries(30));
  EXPECT_TRUE(logged("error inform: write() error. Data=xxx"));
}

TEST_F(InformerTest, MailHeadersFromTheAddressesAndFailingMailCommands) {
  const struct {
    const char* from;
    const char* to;
    std::string mail;
  } cases[] = {
      {"filter@example.org", "admin@example.org",
       "From:filter@example.org\nTo:admin@example.org\nSubject: test\n\nbody"},
      {"", "", "To:" + localSuperuserMailbox() + "\nSubject: test\n\nbody"},
      // Line ends in an address cannot add headers.
      {"a@x\nBcc:spy@y", "\r\n",
       "From:a@xBcc:spy@y\nTo:" + localSuperuserMailbox() + "\nSubject: test\n\nbody"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mail);
    NotifyInfo::instance().setAddresses(c.from, c.to);
    EXPECT_TRUE(SenderInformer().inform("Subject: test\n\nbody"));
    ASSERT_TRUE(SenderInformer::waitDeliveries(60));
    const std::vector<std::string> mails = listDir(mailDir());
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(readFile(mails[0]), c.mail);
    unlink(mails[0].c_str());
  }
  EXPECT_TRUE(logged("Informed successfully"));

  setInjectCmd("cat > /dev/null; exit 1");
  EXPECT_TRUE(SenderInformer().inform("body"));
  setInjectCmd("kill -9 $$");
  EXPECT_TRUE(SenderInformer().inform(std::string(1 << 20, 'x')));
  ASSERT_TRUE(SenderInformer::waitDeliveries(60));
  EXPECT_TRUE(logged("Informer exited with status: 1"));
  EXPECT_TRUE(logged("Informer was terminated by signal"));
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
  // Threads report themselves done a moment before they are gone.
  EXPECT_TRUE(waitUntil([&] { return threadCount() <= before; }))
      << threadCount() << " threads, " << before << " before";
  EXPECT_TRUE(noChildLeft());
}

TEST_F(InformerTest, MailsAndCommandsShareTheLimitAndTheSummaryIsMailed) {
  const std::string out = dir_.path() + "/out";
  NotifyLimiter& limiter = NotifyLimiter::instance();
  limiter.flush(Clock::system().monoNow() + NotifyLimiter::kMinute);  // a minute of its own
  limiter.setLimit(2);
  const std::string a = composeFailureMail(1, "a", kFault, "A", "/d/", {});
  const std::string b = composeFailureMail(2, "b", kFault, "A", "/d/", {});
  SenderInformer mail;
  CmdInformer command("cat >> " + out);
  LogInformer log;
  for (Informer* informer : std::vector<Informer*>{&mail, &command, &mail, &command, &log})
    EXPECT_TRUE(informer->inform(informer == &mail ? a : b));
  EXPECT_TRUE(logged("LogInform: " + b));  // the log is not limited
  limiter.flush(Clock::system().monoNow() + NotifyLimiter::kMinute);
  ASSERT_TRUE(SenderInformer::waitDeliveries(60) && CmdInformer::waitDeliveries(60));
  EXPECT_EQ(readFile(out), b);
  std::string mails;
  for (const std::string& name : listDir(mailDir())) mails += readFile(name) + "\n";
  auto count = [&](const std::string& what) {
    size_t n = 0;
    for (size_t at = mails.find(what); at != std::string::npos; at = mails.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("To:admin@example.org\nDate: "), 2u);  // a's and the summary
  EXPECT_EQ(count(a), 1u);
  EXPECT_EQ(count("WARNING: 2 notification(s) held back\n"), 1u);
  EXPECT_EQ(count("\nComponent \"a\": 1\nComponent \"b\": 1\n"), 1u);
}

}  // namespace
