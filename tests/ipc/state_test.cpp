#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "nk_exception.h"
#include "nk_session_state.h"
#include "nk_session_state_table.h"
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

class StateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<Server>(address_);
    server_->session().Register(&add_one_);
    server_->Start();
  }
  // One exchange; rethrows what Execute raised.
  bool Exchange(NkClientSession& client, uint32_t seconds = 10) {
    AddOneClient request(8200, 1);
    return client.Execute(&request, Within(seconds)) && request.result == 2;
  }

  TempDir dir_;
  const std::string address_ = "local:" + dir_.path() + "/server.sock";
  AddOneServer add_one_{8200};
  std::unique_ptr<Server> server_;
};

TEST_F(StateTest, NothingIsHandedOutBeforeOpen) {
  NkClientSession client(ClientPool());
  EXPECT_EQ("Initial State", client.GetStateName());
  try {
    Exchange(client);
    FAIL();
  } catch (const base::NkException& e) {
    EXPECT_STREQ("Initial State: A session state doesn't allows to aquire connections", e.what());
  }
  // Closing or resuming a session that never opened changes nothing.
  client.Close();
  client.Resume();
  EXPECT_EQ("Initial State", client.GetStateName());
}

TEST_F(StateTest, ClosedSessionRefusesUntilOpenedAgain) {
  NkClientSession client(ClientPool());
  client.Open(address_);
  EXPECT_EQ("Opened State", client.GetStateName());
  ASSERT_TRUE(Exchange(client));
  client.Close();
  EXPECT_EQ("Closed State", client.GetStateName());
  try {
    Exchange(client);
    FAIL();
  } catch (const base::NkSessionClosed& e) {
    EXPECT_STREQ("session has been closed: thread has been canceled", e.what());
  }
  client.Open(address_);
  EXPECT_EQ("Opened State", client.GetStateName());
  EXPECT_TRUE(Exchange(client));
}

TEST_F(StateTest, ReopeningSwitchesToTheNewAddresses) {
  const std::string other_address = "local:" + dir_.path() + "/other.sock";
  AddOneServer other_add_one(8200);
  Server other(other_address);
  other.session().Register(&other_add_one);
  other.Start();

  NkClientSession client(ClientPool());
  client.Open(address_);
  ASSERT_TRUE(Exchange(client));
  client.Open(other_address);
  ASSERT_TRUE(Exchange(client));
  EXPECT_EQ(1, add_one_.calls.load());
  EXPECT_EQ(1, other_add_one.calls.load());
  EXPECT_EQ(std::vector<std::string>{other_address}, client.GetAddresses());
}

TEST_F(StateTest, SuspendedSessionHoldsCallersUntilResumed) {
  CapturingLog log;
  NkClientSession client(ClientPool());
  client.Open(address_);
  client.Suspend();
  EXPECT_EQ("Suspended State", client.GetStateName());

  auto waiting = std::async(std::launch::async, [&] { return Exchange(client, 30); });
  ASSERT_TRUE(Eventually([&] { return client.GetExecutionsCount() == 1; }));
  EXPECT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(200)));
  client.Resume();
  EXPECT_TRUE(waiting.get());
  EXPECT_TRUE(log.Contains(base::NK_LOG_DEBUG,
                           "Session::Execute - a state has been changed, call again"));
}

TEST_F(StateTest, SuspendedWaitEndsAtTheDeadline) {
  NkClientSession client(ClientPool());
  client.Open(address_);
  client.Suspend();
  AddOneClient request(8200, 1);
  try {
    client.Execute(&request, base::NkDeadline(base::NkTimeout::Milliseconds(100)));
    FAIL();
  } catch (const base::NkException& e) {
    EXPECT_STREQ(
        "SuspendedSessionState::AquireConnection - a waiting for a change of a state is failed",
        e.what());
  }
}

TEST_F(StateTest, DestructionReleasesSuspendedCallers) {
  auto client = std::make_unique<NkClientSession>(ClientPool());
  client->Open(address_);
  client->Suspend();
  auto waiting = std::async(std::launch::async, [&] {
    try {
      Exchange(*client, 60);
      return std::string("returned");
    } catch (const base::NkSessionDestroyed& e) {
      return std::string(e.what());
    }
  });
  ASSERT_TRUE(Eventually([&] { return client->GetExecutionsCount() == 1; }));
  client.reset();  // waits for the caller to leave
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ("TerminalSessionState: session has been deleted: thread has been canceled",
            waiting.get());
}

TEST_F(StateTest, TerminalStateRefusesEverything) {
  NkClientSession client(ClientPool());
  NkSessionState* terminal = NkSessionStateTable::Terminal();
  EXPECT_EQ("Terminal State", terminal->GetName());
  EXPECT_THROW(terminal->Open(client, address_), base::NkSessionDestroyed);
  EXPECT_THROW(terminal->Close(client), base::NkSessionDestroyed);
  EXPECT_THROW(terminal->Suspend(client), base::NkSessionDestroyed);
  EXPECT_THROW(terminal->Resume(client), base::NkSessionDestroyed);
  EXPECT_THROW(terminal->Terminate(client), base::NkSessionDestroyed);
  EXPECT_THROW(terminal->AquireConnection(client, Within(1)), base::NkSessionDestroyed);
  EXPECT_THROW(terminal->ReleaseConnection(client, NkIfIPCPtr()), base::NkSessionDestroyed);
  EXPECT_EQ("Terminal State", terminal->Copy()->GetName());
  EXPECT_THROW(NkSessionStateTable::Initial()->ReleaseConnection(client, NkIfIPCPtr()),
               base::NkException);
}

}  // namespace
}  // namespace ipc
}  // namespace norvak
