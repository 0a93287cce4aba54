#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/nk_control.h"
#include "ipc/nk_exception.h"
#include "ipc/nk_maintain_thread.h"
#include "ipc/nk_multi_event.h"
#include "ipc/nk_unique_fd.h"
#include "session_test_support.h"

namespace norvak {
namespace ipc {
namespace {

using testing_support::AddOne;
using testing_support::AddOneServer;
using testing_support::ClientPool;
using testing_support::ErrorText;
using testing_support::Eventually;
using testing_support::LogCapture;
using testing_support::RawUnixSocket;
using testing_support::SecondsSince;
using testing_support::Server;
using testing_support::Within;

TEST(PoolParametersTest, ImpossibleLimitsAreRefusedWithTheirTexts) {
  ConnSettings too_many(0);
  too_many.max_connections = 70000;
  for (const auto& c : std::vector<std::pair<std::function<void()>, std::string>>{
           {[] { ConnSettings(0, 65536, 0); },
            "ConnSettings::Check: the 'max number of connections' parameter contains invalid "
            "value '65536(too much)'"},
           {[] { ConnSettings(5, 3, 0); },
            "ConnSettings::Check: the 'min is greater than max' parameter contains invalid value "
            "'5>3'"},
           {[] { ConnSettings(7, 0, 0); }, "no error"},
           {[] { ConnSettings(65535); }, "no error"},
           {[&] { NkPersistentClientPoolManager(ConnSettings(0)).CorrectConnectionsNum(too_many); },
            "ConnSettings::Check: the 'max number of connections' parameter contains invalid "
            "value '70000(too much)'"},
           {[] { NkMaintainThread thread(nullptr); },
            "MaintainThread::ctor: the 'PoolManager' parameter contains invalid value 'null'"},
       }) {
    EXPECT_EQ(c.second, ErrorText(c.first));
  }
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
    { NkMultiEvent::Waiter third(event); }  // `first` got the single value; it leaves untaken
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

// Holds every request until opened, so that connections stay busy.
class GateServer : public AddOneServer {
 public:
  GateServer() : AddOneServer(8200) {}
  bool Process(NkDdpUnit& request, NkDdpUnit& reply) override {
    ++entered;
    open_.wait();
    return AddOneServer::Process(request, reply);
  }
  void Open() {
    std::call_once(once_, [this] { opener_.set_value(); });
  }
  std::atomic<int> entered{0};

 private:
  std::promise<void> opener_;
  std::shared_future<void> open_ = opener_.get_future().share();
  std::once_flag once_;
};

// Runs an exchange on its own thread: "true" when answered, else the error.
std::future<std::string> ExchangeAsync(NkClientSession& client, pthread_t* thread = nullptr,
                                       std::promise<void>* started = nullptr) {
  return std::async(std::launch::async, [&client, thread, started] {
    if (thread) *thread = pthread_self();
    if (started) started->set_value();
    int32_t result = 0;
    const std::string error = ErrorText([&] { result = AddOne(client, 1, 8200, 60); });
    return result == 2 ? std::string("true") : error;
  });
}

using PoolTest = testing_support::UnixSessionTest;

// A one-connection client whose connection is held busy by the server.
class BusyPoolTest : public PoolTest {
 protected:
  void SetUp() override {
    client_.Open(address());
    busy_ = ExchangeAsync(client_);
    ASSERT_TRUE(Eventually([this] { return gate_.entered == 1; }));
  }
  void TearDown() override { gate_.Open(); }

  GateServer gate_;
  Server server_{address(), &gate_, 2};
  NkClientSession client_{ClientPool(ConnSettings(1, 1, 0))};
  std::future<std::string> busy_;
};

TEST_F(BusyPoolTest, ClosingReleasesThreadsWaitingForAConnection) {
  auto waiting = ExchangeAsync(client_);
  ASSERT_TRUE(Eventually([&] { return client_.GetExecutionsCount() == 2; }));
  EXPECT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(100)));

  client_.Close();
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ("PP-Manager::GetReady: thread has been canceled", waiting.get());
  // The exchange in progress loses its connection at once instead of
  // keeping the close waiting.
  ASSERT_EQ(std::future_status::ready, busy_.wait_for(std::chrono::seconds(5)));
  EXPECT_NE("true", busy_.get());
}

TEST_F(BusyPoolTest, CancelledThreadLeavesOthersWaiting) {
  pthread_t target;
  std::promise<void> started;
  auto cancelled = ExchangeAsync(client_, &target, &started);
  started.get_future().wait();
  auto other = ExchangeAsync(client_);
  ASSERT_TRUE(Eventually([&] { return client_.GetExecutionsCount() == 3; }));

  client_.CancelOperation(target);
  ASSERT_EQ(std::future_status::ready, cancelled.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ("PP-Manager::GetReady: thread has been canceled", cancelled.get());
  EXPECT_EQ(std::future_status::timeout, other.wait_for(std::chrono::milliseconds(100)));

  gate_.Open();
  EXPECT_EQ("true", busy_.get());
  EXPECT_EQ("true", other.get());
}

TEST_F(PoolTest, ConnectionClosedByTheServerIsReplaced) {
  LogCapture log;
  AddOneServer add_one(8200);
  // The server drops connections idle for a second; the client keeps its own.
  Server server(address(), &add_one, 1, ConnSettings(0, 0, 1));
  auto pool = ClientPool(ConnSettings(0, 1, 0));
  NkClientSession client(pool);
  client.Open(address());
  ASSERT_EQ(2, AddOne(client));
  ASSERT_TRUE(Eventually([&] { return pool->GetTotal() == 0; }));
  EXPECT_TRUE(log.Contains(base::NK_LOG_ALERT, "has been broken/closed on server side"));
  ASSERT_EQ(2, AddOne(client));
  EXPECT_EQ(2, add_one.calls.load());
}

TEST_F(PoolTest, StrayInputMakesAnIdleConnectionUnusable) {
  // A bare server that writes to the idle connection what nobody asked for.
  testing_support::RawUnixSocket listener(path(), true);
  ASSERT_TRUE(listener.ok());
  ASSERT_EQ(0, listen(listener.fd(), 4));
  NkClientSession client(ClientPool(ConnSettings(1)));
  client.Open(address());
  base::UniqueFd idle_peer(accept(listener.fd(), nullptr, nullptr));
  ASSERT_TRUE(idle_peer.valid());
  ASSERT_EQ(4, write(idle_peer.get(), "junk", 4));

  // The junk is not taken for the answer: that connection is dropped and
  // the exchange runs on a fresh one.
  std::thread answer([&] {
    base::UniqueFd next(accept(listener.fd(), nullptr, nullptr));
    char in[8];
    // Identifier and value come as two writes.
    if (next && recv(next.get(), in, 8, MSG_WAITALL) == 8) {
      (void)!write(next.get(), BigEndian32(2).data(), 4);
    }
  });
  int32_t result = 0;
  const std::string error = ErrorText([&] { result = AddOne(client); });
  answer.join();
  EXPECT_EQ(2, result) << error;
}

TEST_F(PoolTest, PoolsLeaveNoDescriptorBehind) {
  const int before = openDescriptors();
  {
    AddOneServer add_one(8200);
    Server server(address(), &add_one, 2);
    NkClientSession client(ClientPool(ConnSettings(1)));
    client.Open(address());
    // The second exchange finds the connection parked and led by a waiting
    // server thread, which polls the pool's wake-up descriptor.
    ASSERT_EQ(2, AddOne(client));
    ASSERT_EQ(3, AddOne(client, 2));
  }
  EXPECT_EQ(before, openDescriptors());
}

TEST_F(PoolTest, IdleConnectionsExpireAndAreCounted) {
  AddOneServer add_one(8200);
  Server server(address(), &add_one);
  auto pool = ClientPool(ConnSettings(0, 2, 1));
  NkClientSession client(pool);
  client.Open(address());
  ASSERT_EQ(2, AddOne(client));
  // Kept after the exchange, then closed by its idle time: the statistics
  // below say so (looking at the count now would race with that second).
  ASSERT_TRUE(Eventually([&] { return pool->GetTotal() == 0; }));

  const std::string statistics = dir_.path() + "/ipc.stat";
  ASSERT_TRUE(client.AppendStatistic(statistics));
  ASSERT_TRUE(client.AppendStatistic(statistics));
  std::stringstream text;
  text << std::ifstream(statistics).rdbuf();
  const std::string block = text.str();
  EXPECT_EQ(0u, block.find(std::string(70, '=') + "\nstart:  "));
  EXPECT_NE(std::string::npos, block.find("closed by timeout = 1 ("));
  EXPECT_NE(std::string::npos, block.find("created on request = 1 ("));
  EXPECT_NE(std::string::npos, block.find(std::string(70, '='), 70));  // appended, not replaced
  EXPECT_FALSE(client.AppendStatistic(dir_.path() + "/missing/ipc.stat"));
}

TEST_F(PoolTest, PeerThatLeavesSilentlyWakesNoServerThread) {
  LogCapture log;
  AddOneServer add_one(8200);
  Server server(address(), &add_one);
  {
    testing_support::RawUnixSocket peer(path());
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(Eventually([&] { return server.pool().GetEstablishedCount() == 1; }));
  }
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
  // A wake-up reaches only those already asleep, and a loaded machine may
  // not have put the thread to sleep yet: wake until it is woken.
  ASSERT_TRUE(Eventually([&] {
    pool.WakeUpAll();
    return woken.wait_for(std::chrono::milliseconds(10)) == std::future_status::ready;
  }));
  EXPECT_TRUE(woken.get());

  pthread_t sleeper;
  std::promise<void> started;
  auto cancelled = std::async(std::launch::async, [&] {
    sleeper = pthread_self();
    started.set_value();
    return ErrorText([&] { pool.Sleep(base::NkTimeout::Seconds(60)); });
  });
  started.get_future().wait();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  pool.CancelThread(sleeper);
  ASSERT_EQ(std::future_status::ready, cancelled.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ("NkPersistentPoolManager::Sleep: thread has been canceled", cancelled.get());
}

TEST_F(PoolTest, ServerKeepsToItsMaximumOfConnections) {
  AddOneServer add_one(8200);
  Server server(address(), &add_one, 1, ConnSettings(0, 1, 0));
  NkClientSession first(ClientPool());
  first.Open(address());
  ASSERT_EQ(2, AddOne(first));
  // The second connects (the backlog takes it) but is not served while the
  // first holds the only place.
  NkClientSession second(ClientPool());
  second.Open(address());
  auto blocked = std::async(std::launch::async, [&] { return AddOne(second, 5, 8200, 30); });
  EXPECT_EQ(std::future_status::timeout, blocked.wait_for(std::chrono::milliseconds(300)));
  first.Close();  // frees the place
  ASSERT_EQ(std::future_status::ready, blocked.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(6, blocked.get());
}

// Two threads serving the protocols, a turn's requests at a time, on a pool
// that counts its verdicts and departures, refusing while told to.
class CountingServer : public Server {
 public:
  CountingServer(const std::string& address, const ConnSettings& settings,
                 const std::vector<NkServerProtocol*>& protocols)
      : Server(address, 2, settings) {
    SetExchangeTimeout(base::NkTimeout::Seconds(60));
    pool().SetRequestsPerTurn(NkPersistentServerPoolManager::kRequestsPerTurn);
    pool().SetAdmission(
        [this](const NkIfIPCPtr&, size_t others) {
          open = others;
          admitted += !refuse;
          return !refuse;
        },
        [this](const NkIfIPCPtr&) { ++departed; });
    for (NkServerProtocol* protocol : protocols) session().Register(protocol);
    Start();
  }
  ~CountingServer() { Stop(); }

  std::atomic<bool> refuse{false};
  std::atomic<size_t> open{0};
  std::atomic<int> admitted{0};
  std::atomic<int> departed{0};
};

TEST_F(PoolTest, EveryAdmittedConnectionDepartsOnceHoweverItLeaves) {
  AddOneServer add_one(8201);
  GateServer gate;
  {
    CountingServer expiring(address(), ConnSettings(0, 0, 1), {&add_one});
    EXPECT_EQ("", RawUnixSocket(path()).ReadAll());  // idle for its lifetime
    EXPECT_EQ(1, expiring.departed.load());
  }
  CountingServer server(address(), ConnSettings(0), {&add_one, &gate});
  server.refuse = true;
  EXPECT_EQ("", RawUnixSocket(path()).ReadAll());
  server.refuse = false;
  {
    NkClientSession leaving(ClientPool(ConnSettings(0, 1, 0)));
    leaving.Open(address());
    ASSERT_EQ(2, AddOne(leaving, 1, 8201));
    EXPECT_EQ(0u, server.open.load());
    RawUnixSocket garbage(path());
    garbage.Send("\xde\xad\xbe\xef");
    EXPECT_EQ("", garbage.ReadAll());
    EXPECT_EQ(1u, server.open.load());
  }
  NkClientSession kept(ClientPool(ConnSettings(0, 1, 0)));
  kept.Open(address());
  ASSERT_EQ(2, AddOne(kept, 1, 8201));
  server.session().Open(address());  // reopening drops what is open
  ASSERT_TRUE(Eventually([&] { return server.departed == 3; }));

  // Busy when the session closes: dropped when its thread hands it back.
  NkClientSession busy(ClientPool(ConnSettings(0, 1, 0)));
  busy.Open(address());
  auto answer = ExchangeAsync(busy);
  ASSERT_TRUE(Eventually([&] { return gate.entered == 1; }));
  auto stopped = std::async(std::launch::async, [&] { server.Stop(); });
  ASSERT_TRUE(Eventually([&] { return server.session().GetStateName() == "Closed State"; }));
  gate.Open();
  stopped.get();
  EXPECT_NE("true", answer.get());
  EXPECT_EQ(4, server.admitted.load());
  EXPECT_EQ(4, server.departed.load());
}

TEST_F(PoolTest, PipelinedRequestsAreServedATurnASecond) {
  AddOneServer add_one(8200);
  CountingServer server(address(), ConnSettings(0), {&add_one});
  RawUnixSocket client(path());
  std::string requests, answers;
  for (uint32_t i = 0; i < 40; ++i) {
    requests += BigEndian32(8200) + BigEndian32(i);
    answers += BigEndian32(i + 1);
  }
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(client.Send(requests));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const unsigned served = static_cast<unsigned>(add_one.calls.load());
  // A turn begins a second after the one before at the earliest.
  const unsigned turns = static_cast<unsigned>(SecondsSince(start)) + 1;
  EXPECT_LE(served, NkPersistentServerPoolManager::kRequestsPerTurn * turns);
  EXPECT_EQ(answers, client.ReadAll(answers.size()));
  server.Stop();  // probably while held for the rest of its last turn
  EXPECT_EQ(1, server.departed.load());
}

}  // namespace
}  // namespace ipc
}  // namespace norvak
