#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "nk_control.h"
#include "nk_exception.h"
#include "nk_maintain_thread.h"
#include "nk_multi_event.h"
#include "session_test_support.h"
#include "temp_dir.h"

namespace norvak {
namespace ipc {
namespace {

using testing_support::AddOneClient;
using testing_support::AddOneServer;
using testing_support::CapturingLog;
using testing_support::Eventually;
using testing_support::ClientPool;
using testing_support::Server;
using testing_support::Within;

std::string ErrorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

TEST(ConnSettingsTest, RefusesImpossibleLimits) {
  EXPECT_EQ(
      "ConnSettings::Check: the 'max number of connections' parameter contains invalid value "
      "'65536(too much)'",
      ErrorText([] { ConnSettings(0, 65536, 0); }));
  EXPECT_EQ(
      "ConnSettings::Check: the 'min is greater than max' parameter contains invalid value '5>3'",
      ErrorText([] { ConnSettings(5, 3, 0); }));
  EXPECT_EQ("no error", ErrorText([] { ConnSettings(7, 0, 0); }));
  EXPECT_EQ("no error", ErrorText([] { ConnSettings(65535); }));
  EXPECT_THROW(NkPersistentClientPoolManager(ConnSettings(0)).CorrectConnectionsNum(
                   [] {
                     ConnSettings bad(0);
                     bad.max_connections = 70000;
                     return bad;
                   }()),
               base::NkParameterError);
}

TEST(ControlTest, QueuesEachCommandOnce) {
  NkControl control("test");
  EXPECT_TRUE(control.Send(NkControl::kReleased));
  EXPECT_FALSE(control.Send(NkControl::kReleased));
  EXPECT_TRUE(control.Send(NkControl::kClosed));
  EXPECT_EQ(2u, control.GetQueueSize());
  uint32_t code = 0;
  EXPECT_EQ(NkControl::kCommand, control.Read(&code));
  EXPECT_EQ(NkControl::kReleased, code);
  EXPECT_TRUE(control.Send(NkControl::kReleased));  // no longer queued
  EXPECT_EQ(NkControl::kCommand, control.Read(&code));
  EXPECT_EQ(NkControl::kClosed, code);
  control.Clear();
  EXPECT_EQ(0u, control.GetQueueSize());
  EXPECT_EQ(NkControl::kNothing, control.Read(&code));  // the pipe was drained too
}

TEST(MultiEventTest, SetReachesOneWaiterAndIsPassedOnIfUntaken) {
  NkMultiEvent event("test");
  EXPECT_FALSE(event.Set(7));  // nobody waits: nothing is kept
  uint32_t value = 0;
  {
    NkMultiEvent::Waiter first(event);
    NkMultiEvent::Waiter second(event);
    EXPECT_EQ(2u, event.Broadcast(1));
    EXPECT_TRUE(event.Set(0x103));
    EXPECT_TRUE(event.Wait(first, Within(1), &value));
    EXPECT_EQ(1u, value);
    EXPECT_TRUE(event.Wait(second, Within(1), &value));
    EXPECT_EQ(1u, value);
    {
      NkMultiEvent::Waiter third(event);
      // `first` got the single value; it leaves without taking it.
    }
    EXPECT_FALSE(event.Wait(second, base::NkDeadline(base::NkTimeout::Milliseconds(10)), &value));
  }
  NkMultiEvent::Waiter keeper(event);
  {
    NkMultiEvent::Waiter leaver(event);
    // Both idle: the first registered gets it, then hands it on when leaving.
    EXPECT_TRUE(event.Set(0x103));
  }
  EXPECT_TRUE(event.Wait(keeper, Within(1), &value));
  EXPECT_EQ(0x103u, value);
}

TEST(MaintainThreadTest, RefusesANullPool) {
  EXPECT_EQ("MaintainThread::ctor: the 'PoolManager' parameter contains invalid value 'null'",
            ErrorText([] { NkMaintainThread thread(nullptr); }));
}

// Holds every request until released, so that connections stay busy.
class GateServer : public AddOneServer {
 public:
  GateServer() : AddOneServer(8200) {}
  bool Process(NkDdpUnit& request, NkDdpUnit& reply) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++entered_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    lock.unlock();
    return AddOneServer::Process(request, reply);
  }
  void WaitEntered(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return entered_ >= count; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int entered_ = 0;
  bool open_ = false;
};

class PoolTest : public ::testing::Test {
 protected:
  std::string address() const { return "local:" + dir_.path() + "/server.sock"; }
  std::string path() const { return dir_.path() + "/server.sock"; }
  TempDir dir_;
};

// Runs an exchange on its own thread and reports how it ended.
std::future<std::string> ExchangeAsync(NkClientSession& client, pthread_t* thread = nullptr,
                                       std::promise<void>* started = nullptr) {
  return std::async(std::launch::async, [&client, thread, started] {
    if (thread) *thread = pthread_self();
    if (started) started->set_value();
    AddOneClient request(8200, 1);
    try {
      return std::string(client.Execute(&request, Within(60)) ? "true" : "false");
    } catch (const base::NkThreadCanceled& e) {
      return std::string("canceled: ") + e.what();
    } catch (const std::exception& e) {
      return std::string("error: ") + e.what();
    }
  });
}

TEST_F(PoolTest, ClosingReleasesThreadsWaitingForAConnection) {
  GateServer gate;
  Server server(address(), 2);
  server.session().Register(&gate);
  server.Start();

  auto pool = ClientPool(ConnSettings(1, 1, 0));
  NkClientSession client(pool);
  client.Open(address());
  auto busy = ExchangeAsync(client);
  gate.WaitEntered(1);
  auto waiting = ExchangeAsync(client);
  ASSERT_TRUE(Eventually([&] { return client.GetExecutionsCount() == 2; }));
  EXPECT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(100)));

  client.Close();
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ("canceled: PP-Manager::GetReady: thread has been canceled", waiting.get());
  // The exchange in progress loses its connection at once instead of
  // keeping the close waiting.
  ASSERT_EQ(std::future_status::ready, busy.wait_for(std::chrono::seconds(5)));
  EXPECT_NE("true", busy.get());
  gate.Open();
}

TEST_F(PoolTest, CancelledThreadLeavesOthersWaiting) {
  GateServer gate;
  Server server(address(), 2);
  server.session().Register(&gate);
  server.Start();

  NkClientSession client(ClientPool(ConnSettings(1, 1, 0)));
  client.Open(address());
  auto busy = ExchangeAsync(client);
  gate.WaitEntered(1);
  pthread_t target;
  std::promise<void> started;
  auto cancelled = ExchangeAsync(client, &target, &started);
  started.get_future().wait();
  auto other = ExchangeAsync(client);
  ASSERT_TRUE(Eventually([&] { return client.GetExecutionsCount() == 3; }));

  client.CancelOperation(target);
  ASSERT_EQ(std::future_status::ready, cancelled.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ("canceled: PP-Manager::GetReady: thread has been canceled", cancelled.get());
  EXPECT_EQ(std::future_status::timeout, other.wait_for(std::chrono::milliseconds(100)));

  gate.Open();
  EXPECT_EQ("true", busy.get());
  EXPECT_EQ("true", other.get());
}

TEST_F(PoolTest, ConnectionClosedByTheServerIsReplaced) {
  CapturingLog log;
  AddOneServer add_one(8200);
  auto server = std::make_unique<Server>(address());
  server->session().Register(&add_one);
  server->Start();

  auto pool = ClientPool(ConnSettings(1));
  NkClientSession client(pool);
  client.Open(address());
  AddOneClient request(8200, 1);
  ASSERT_TRUE(client.Execute(&request, Within(10)));

  server.reset();  // closes the idle connection on the server side
  ASSERT_TRUE(Eventually([&] { return pool->GetTotal() == 0; }));
  EXPECT_TRUE(log.Contains(base::NK_LOG_ALERT, "has been broken/closed on server side"));

  server = std::make_unique<Server>(address());
  server->session().Register(&add_one);
  server->Start();
  ASSERT_TRUE(client.Execute(&request, Within(10)));
  EXPECT_EQ(1u, pool->GetTotal());
}

TEST_F(PoolTest, StrayInputMakesAnIdleConnectionUnusable) {
  // A bare server that writes to the idle connection what nobody asked for.
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un raw{};
  raw.sun_family = AF_UNIX;
  std::strncpy(raw.sun_path, path().c_str(), sizeof(raw.sun_path) - 1);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&raw), sizeof(raw)));
  ASSERT_EQ(0, listen(listener, 4));
  auto pool = ClientPool(ConnSettings(1));
  NkClientSession client(pool);
  client.Open(address());
  int idle_peer = accept(listener, nullptr, nullptr);
  ASSERT_GE(idle_peer, 0);
  ASSERT_EQ(4, write(idle_peer, "junk", 4));

  // The junk is not taken for the answer: that connection is dropped and
  // the exchange runs on a fresh one.
  std::thread answer([&] {
    int next = accept(listener, nullptr, nullptr);
    char in[8];
    // Identifier and value come as two writes.
    if (next >= 0 && recv(next, in, 8, MSG_WAITALL) == 8) {
      const char out[4] = {0, 0, 0, 2};
      (void)!write(next, out, 4);
    }
    close(next);
  });
  AddOneClient request(8200, 1);
  std::string outcome;
  try {
    outcome = client.Execute(&request, Within(10)) ? "true" : "false";
  } catch (const std::exception& e) {
    outcome = e.what();
  }
  answer.join();
  EXPECT_EQ("true", outcome);
  EXPECT_EQ(2, request.result);
  close(idle_peer);
  close(listener);
}

TEST_F(PoolTest, IdleConnectionsExpireAfterTheirLifetime) {
  AddOneServer add_one(8200);
  Server server(address());
  server.session().Register(&add_one);
  server.Start();

  auto pool = ClientPool(ConnSettings(0, 2, 1));
  NkClientSession client(pool);
  client.Open(address());
  AddOneClient request(8200, 1);
  ASSERT_TRUE(client.Execute(&request, Within(10)));
  EXPECT_EQ(1u, pool->GetTotal());
  ASSERT_TRUE(Eventually([&] { return pool->GetTotal() == 0; }));

  const std::string statistics = dir_.path() + "/ipc.stat";
  ASSERT_TRUE(client.AppendStatistic(statistics));
  ASSERT_TRUE(client.AppendStatistic(statistics));
  std::ifstream file(statistics);
  std::stringstream text;
  text << file.rdbuf();
  const std::string block = text.str();
  EXPECT_EQ(0u, block.find(std::string(70, '=') + "\nstart:  "));
  EXPECT_NE(std::string::npos, block.find("closed by timeout = 1 ("));
  EXPECT_NE(std::string::npos, block.find("created on request = 1 ("));
  EXPECT_NE(std::string::npos, block.find(std::string(70, '='), 70));  // appended, not replaced
  EXPECT_FALSE(client.AppendStatistic(dir_.path() + "/missing/ipc.stat"));
}

TEST_F(PoolTest, ServerClosesConnectionsIdleBeyondTheirLifetime) {
  AddOneServer add_one(8200);
  Server server(address(), 1, ConnSettings(0, 0, 1));
  server.session().Register(&add_one);
  server.Start();

  auto pool = ClientPool(ConnSettings(0, 1, 0));
  NkClientSession client(pool);
  client.Open(address());
  AddOneClient request(8200, 1);
  ASSERT_TRUE(client.Execute(&request, Within(10)));
  // The client keeps its connection for good; the server drops it and the
  // client notices the hang-up.
  ASSERT_TRUE(Eventually([&] { return pool->GetTotal() == 0; }));
  ASSERT_TRUE(client.Execute(&request, Within(10)));
  EXPECT_EQ(2, add_one.calls.load());
}

TEST_F(PoolTest, PeerThatLeavesSilentlyWakesNoServerThread) {
  CapturingLog log;
  AddOneServer add_one(8200);
  Server server(address());
  server.session().Register(&add_one);
  server.Start();

  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un raw{};
  raw.sun_family = AF_UNIX;
  std::strncpy(raw.sun_path, path().c_str(), sizeof(raw.sun_path) - 1);
  ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&raw), sizeof(raw)));
  ASSERT_TRUE(Eventually([&] { return server.pool().GetEstablishedCount() == 1; }));
  close(fd);
  ASSERT_TRUE(Eventually([&] { return server.pool().GetEstablishedCount() == 0; }));
  EXPECT_TRUE(log.Contains(base::NK_LOG_DEBUG, "is closed or broken"));
  EXPECT_FALSE(log.Contains(base::NK_LOG_DEBUG, "PP-Manager::GetReady - a new connection is ready"));
  EXPECT_EQ(0, server.failures.load());
}

TEST_F(PoolTest, SleepersWakeOnWakeUpAllAndOnCancellation) {
  NkPersistentClientPoolManager pool(ConnSettings(0));
  EXPECT_FALSE(pool.Sleep(base::NkTimeout::Milliseconds(20)));

  auto woken = std::async(std::launch::async, [&] { return pool.Sleep(base::NkTimeout::Seconds(60)); });
  EXPECT_EQ(std::future_status::timeout, woken.wait_for(std::chrono::milliseconds(50)));
  pool.WakeUpAll();
  ASSERT_EQ(std::future_status::ready, woken.wait_for(std::chrono::seconds(5)));
  EXPECT_TRUE(woken.get());

  pthread_t sleeper;
  std::promise<void> started;
  auto cancelled = std::async(std::launch::async, [&] {
    sleeper = pthread_self();
    started.set_value();
    try {
      pool.Sleep(base::NkTimeout::Seconds(60));
      return std::string("woken");
    } catch (const base::NkThreadCanceled& e) {
      return std::string(e.what());
    }
  });
  started.get_future().wait();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  pool.CancelThread(sleeper);
  ASSERT_EQ(std::future_status::ready, cancelled.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ("NkPersistentPoolManager::Sleep: thread has been canceled", cancelled.get());
}

TEST_F(PoolTest, ServerKeepsToItsMaximumOfConnections) {
  AddOneServer add_one(8200);
  Server server(address(), 1, ConnSettings(0, 1, 0));
  server.session().Register(&add_one);
  server.Start();

  NkClientSession first(ClientPool());
  first.Open(address());
  AddOneClient request(8200, 1);
  ASSERT_TRUE(first.Execute(&request, Within(10)));
  // The second connects (the backlog takes it) but is not served while the
  // first holds the only place.
  NkClientSession second(ClientPool());
  second.Open(address());
  auto blocked = std::async(std::launch::async, [&] {
    AddOneClient other(8200, 5);
    return second.Execute(&other, Within(30)) ? other.result : -1;
  });
  EXPECT_EQ(std::future_status::timeout, blocked.wait_for(std::chrono::milliseconds(300)));
  first.Close();  // frees the place
  ASSERT_EQ(std::future_status::ready, blocked.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(6, blocked.get());
}

}  // namespace
}  // namespace ipc
}  // namespace norvak
