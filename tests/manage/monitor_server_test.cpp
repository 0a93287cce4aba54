// The management server inside the monitor: who it serves, and that no
// client can hold it up or keep it from stopping.
#include "manage/monitor_server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>

#include "monitor_conf_test.h"
#include "proc_util.h"
#include "frame/process_state.h"
#include "ipc/nk_exception.h"
#include "ipc/session_test_support.h"
#include "protocols/nk_reload_comp_client.h"
#include "protocols/nk_update_client.h"
#include "thrown_text.h"
#include "wait_util.h"

namespace {

using norvak::ipc::testing_support::RawUnixSocket;

class MonitorServerTest : public MonitorConfTest {
 protected:
  void TearDown() override { setProcessState(INIT); }

  void writeAddresses(const std::string& addresses) {
    writeConf("Address = " + addresses + "\nTimeout = 30\n");
  }
  std::string socket() const { return run() + "mgmt.sock"; }
};

TEST_F(MonitorServerTest, ASessionThatCannotListenFailsTheStartNamingEveryAddress) {
  const std::string missing = "local:" + dir_.path() + "/missing/mgmt.sock";
  writeAddresses(missing + ", local:" + socket());
  MonitorServer monitor(conf(), "", false);
  const std::string text = thrownText<Monitor::InitError>([&] { monitor.start(); });
  EXPECT_EQ(
      text.rfind("cannot create server session (" + missing + ",local:" + socket() + "): ", 0), 0u)
      << text;
  EXPECT_FALSE(monitor.hasSession());
  EXPECT_EQ(access(socket().c_str(), F_OK), -1) << "the listener made before the failure is gone";
}

TEST_F(MonitorServerTest, StallingClientsHoldNobodyUpAndStopDoesNotWaitForThem) {
  writeAddresses("local:" + socket());
  MonitorServer monitor(conf(), "", false);
  monitor.start();
  ASSERT_TRUE(monitor.hasSession());
  struct stat status;
  ASSERT_EQ(stat(socket().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0007, 0u) << "others may not connect";
  const int threadsBefore = threadCount();

  // One says nothing, others stop halfway through an identifier or a
  // request, one announces a string of 4 GiB: more stallers than serving
  // threads.
  std::vector<std::unique_ptr<RawUnixSocket>> stallers;
  for (int i = 0; i < MonitorServer::kSpareThreads + 3; ++i) {
    stallers.push_back(std::make_unique<RawUnixSocket>(socket()));
    ASSERT_TRUE(stallers.back()->ok());
  }
  stallers[1]->Send(BigEndian32(8204) + BigEndian32(10) + "/tmp");
  stallers[2]->Send(BigEndian32(8204) + BigEndian32(0xFFFFFFFFu) + "abc");
  stallers[3]->Send(std::string("\0\0", 2));  // half an identifier
  stallers[4]->Send(BigEndian32(8200) + BigEndian32(3) + BigEndian32(1));
  // Four stallers in an exchange each, and one more thread waiting.
  ASSERT_TRUE(waitUntil([&] { return threadCount() >= threadsBefore + 3; }));

  norvak::ipc::NkClientSession client(norvak::ipc::testing_support::ClientPool());
  client.Open("local:" + socket());
  norvak::maild::NkReloadCompClient reload({4242, 0, -5});
  ASSERT_TRUE(client.Execute(&reload, norvak::ipc::testing_support::Within(10)));
  // The positive pid reaches the loop; 0 and negative pids name groups to
  // kill().
  EXPECT_TRUE(waitUntil([&] {
    monitor.runFor(std::chrono::milliseconds(20));
    return readFile(log()).find("Monitor::changedConfReload()") != std::string::npos;
  }));
  const std::string text = readFile(log());
  EXPECT_NE(text.find("reload component with pid = 4242"), std::string::npos);
  EXPECT_NE(text.find("reload request for pid = 0 ignored"), std::string::npos);
  EXPECT_NE(text.find("reload request for pid = -5 ignored"), std::string::npos);

  norvak::maild::NkUpdateClient update(dir_.path(), "a", "p");
  ASSERT_TRUE(client.Execute(&update, norvak::ipc::testing_support::Within(10)));
  EXPECT_FALSE(update.IsOk());
  EXPECT_NE(update.GetMessage().find("cannot change mode for script"), std::string::npos);
  EXPECT_EQ(access(dir_.path().c_str(), F_OK), 0);

  // The stallers are still connected, and the stop does not wait for them.
  for (size_t i = 0; i < stallers.size(); ++i) {
    pollfd entry{stallers[i]->fd(), POLLIN, 0};
    EXPECT_EQ(poll(&entry, 1, 0), 0) << i;
  }
  const auto before = std::chrono::steady_clock::now();
  Monitor::setState(false);
  monitor.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20));
  EXPECT_FALSE(monitor.hasSession());
  EXPECT_EQ(access(socket().c_str(), F_OK), -1);
  for (const auto& staller : stallers) {
    pollfd entry{staller->fd(), POLLIN, 0};
    EXPECT_EQ(poll(&entry, 1, 10000), 1) << "closed by the stop";
  }
  monitor.stop();  // again: nothing left to do
}

}  // namespace
