// The agent notifier with a scripted sender: posting never waits for the
// agent, notices leave in order, an unreachable agent keeps them (bounded),
// and the fields of StartApp and StopApp come from the application.

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/agent_notifier.h"
#include "monitor/application.h"
#include "monitor/component.h"

namespace {

using std::chrono::milliseconds;

AgentNotice notice(const std::string& app, AgentNotice::Kind kind = AgentNotice::kStartApp) {
  AgentNotice n;
  n.kind = kind;
  n.app = app;
  return n;
}

// A sender standing for the agent: it can be made unreachable (returns
// false) or stuck (blocks until released), and records what it delivered.
class FakeAgent {
 public:
  AgentNotifier::Sender sender() {
    return [this](const AgentNotice& n) {
      std::unique_lock<std::mutex> lock(mutex_);
      ++attempts_;
      entered_.notify_all();
      released_.wait(lock, [this] { return !stuck_; });
      if (!up_) return false;
      delivered_.push_back(n.describe());
      return true;
    };
  }
  void setUp(bool up) {
    std::lock_guard<std::mutex> lock(mutex_);
    up_ = up;
  }
  void setStuck(bool stuck) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stuck_ = stuck;
    }
    released_.notify_all();
  }
  // Waits until the sender has been called at least n times.
  bool waitAttempts(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return entered_.wait_for(lock, std::chrono::seconds(10), [&] { return attempts_ >= n; });
  }
  int attempts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return attempts_;
  }
  std::vector<std::string> delivered() {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable entered_;
  std::condition_variable released_;
  bool up_ = true;
  bool stuck_ = false;
  int attempts_ = 0;
  std::vector<std::string> delivered_;
};

TEST(AgentNotifierTest, PostingNeverWaitsForAStuckAgentAndOrderIsKept) {
  FakeAgent agent;
  agent.setStuck(true);
  AgentNotifier notifier(agent.sender());
  ASSERT_TRUE(notifier.start());

  std::vector<std::string> expected;
  auto posting = std::async(std::launch::async, [&] {
    for (int i = 0; i < 100; ++i) {
      const std::string app = "APP" + std::to_string(i % 7);
      const AgentNotice::Kind kind = i % 2 ? AgentNotice::kStopApp : AgentNotice::kStartApp;
      notifier.post(notice(app, kind));
      expected.push_back(notice(app, kind).describe());
    }
  });
  ASSERT_TRUE(agent.waitAttempts(1));
  // The agent holds the first notice all along: posting must not depend on it.
  const bool posted = posting.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  agent.setStuck(false);
  ASSERT_TRUE(posted) << "post() waited for the agent";

  ASSERT_TRUE(notifier.waitIdle(std::chrono::seconds(10)));
  EXPECT_EQ(agent.delivered(), expected);
  EXPECT_EQ(notifier.delivered(), 100u);
  EXPECT_EQ(notifier.dropped(), 0u);
}

TEST(AgentNotifierTest, UndeliveredNoticesWaitForTheAgentInOrder) {
  FakeAgent agent;
  agent.setUp(false);
  AgentNotifier notifier(agent.sender(), 16, milliseconds(10), milliseconds(40));
  ASSERT_TRUE(notifier.start());
  notifier.post(notice("MAILD"));
  notifier.post(notice("MAILD", AgentNotice::kStopApp));
  notifier.post(notice("WEB"));
  // Tried again and again while the agent is away; never dropped.
  ASSERT_TRUE(agent.waitAttempts(4));
  EXPECT_EQ(notifier.pending(), 3u);
  EXPECT_TRUE(agent.delivered().empty());

  agent.setUp(true);
  ASSERT_TRUE(notifier.waitIdle(std::chrono::seconds(10)));
  EXPECT_EQ(agent.delivered(),
            (std::vector<std::string>{"StartApp MAILD", "StopApp MAILD", "StartApp WEB"}));
  EXPECT_EQ(notifier.dropped(), 0u);
}

TEST(AgentNotifierTest, WakeSendsAtOnceWhatWaitsForTheNextTry) {
  FakeAgent agent;
  agent.setUp(false);
  // Left alone, the next try would come 60 s after the first.
  AgentNotifier notifier(agent.sender(), 16, std::chrono::seconds(60), std::chrono::seconds(60));
  ASSERT_TRUE(notifier.start());
  notifier.post(notice("MAILD"));
  ASSERT_TRUE(agent.waitAttempts(1));
  agent.setUp(true);
  notifier.wake();
  ASSERT_TRUE(notifier.waitIdle(std::chrono::seconds(30)));
  EXPECT_EQ(agent.delivered(), std::vector<std::string>{"StartApp MAILD"});
}

TEST(AgentNotifierTest, AFullQueueDropsTheOldestWaitingNoticeNotTheOneBeingSent) {
  FakeAgent agent;
  agent.setStuck(true);
  AgentNotifier notifier(agent.sender(), 3);
  ASSERT_TRUE(notifier.start());
  notifier.post(notice("A"));
  ASSERT_TRUE(agent.waitAttempts(1));  // A is in the sender's hands
  for (const char* app : {"B", "C", "D", "E"}) notifier.post(notice(app));
  EXPECT_EQ(notifier.pending(), 3u);
  EXPECT_EQ(notifier.dropped(), 2u);
  agent.setStuck(false);
  ASSERT_TRUE(notifier.waitIdle(std::chrono::seconds(10)));
  EXPECT_EQ(agent.delivered(),
            (std::vector<std::string>{"StartApp A", "StartApp D", "StartApp E"}));
}

TEST(AgentNotifierTest, StopEndsThePauseOfAnUnreachableAgent) {
  FakeAgent agent;
  agent.setUp(false);
  auto notifier = std::make_unique<AgentNotifier>(agent.sender(), 16, std::chrono::seconds(30),
                                                  std::chrono::seconds(30));
  ASSERT_TRUE(notifier->start());
  notifier->post(notice("MAILD"));
  ASSERT_TRUE(agent.waitAttempts(1));
  const auto begin = std::chrono::steady_clock::now();
  notifier->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  EXPECT_EQ(notifier->dropped(), 1u);
  // Nothing is taken once stopped.
  notifier->post(notice("WEB"));
  EXPECT_EQ(notifier->pending(), 0u);
  EXPECT_EQ(agent.attempts(), 1);
}

Component comp(const std::string& name, const std::string& user, const std::string& group,
               const std::string& args = "") {
  Component c(name);
  c.setUser(user);
  c.setGroup(group);
  c.setArgv(args);
  return c;
}

TEST(AgentNoticeTest, FieldsComeFromTheApplication) {
  Application none("EMPTY");
  AgentNotice n = AgentNotice::of(AgentNotice::kStartApp, none);
  EXPECT_EQ(n.app, "EMPTY");
  EXPECT_EQ(n.pid, 0);
  EXPECT_EQ(n.permissions, "");
  EXPECT_EQ(n.arguments, "");

  // Distinct permissions, sorted; no arguments for more than one component;
  // a component that never ran counts as pid 0.
  Application several("MAILD");
  several.addComponent(comp("maild", "mail", "mail", "-a"));
  several.addComponent(comp("smtpd", "", "", "-b"));
  several.addComponent(comp("lmtpd", "mail", "mail", "-c"));
  several.addComponent(comp("queue", "daemon", "mail"));
  n = AgentNotice::of(AgentNotice::kStartApp, several);
  EXPECT_EQ(n.describe(), "StartApp MAILD");
  EXPECT_EQ(n.pid, 0);
  EXPECT_EQ(n.permissions, ":,daemon:mail,mail:mail");
  EXPECT_EQ(n.arguments, "");

  Application one("WEB");
  one.addComponent(comp("httpd", "www", "www", "--port 8080 \"x y\""));
  n = AgentNotice::of(AgentNotice::kStartApp, one);
  EXPECT_EQ(n.permissions, "www:www");
  EXPECT_EQ(n.arguments, "--port 8080 \"x y\"");
  // A stop carries the name and the pid only.
  n = AgentNotice::of(AgentNotice::kStopApp, one);
  EXPECT_EQ(n.describe(), "StopApp WEB");
  EXPECT_EQ(n.permissions, "");
  EXPECT_EQ(n.arguments, "");
}

}  // namespace
