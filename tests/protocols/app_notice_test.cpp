// StartApp and StopApp between a client session and a server session over a
// Unix socket, as the monitor and the agent use them.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/nk_exception.h"
#include "ipc/session_test_support.h"
#include "protocols/nk_start_app.h"
#include "protocols/nk_stop_app.h"

namespace norvak {
namespace maild {
namespace {

using ipc::testing_support::ClientPool;
using ipc::testing_support::Eventually;
using ipc::testing_support::Server;
using ipc::testing_support::UnixSessionTest;
using ipc::testing_support::Within;

class AppNoticeTest : public UnixSessionTest {};

TEST_F(AppNoticeTest, FieldsArriveAsSentAndInOrder) {
  NkStartAppServer starts;
  NkStopAppServer stops;
  Server server(address());
  server.session().Register(&starts);
  server.session().Register(&stops);
  server.Start();

  ipc::NkClientSession client(ClientPool());
  client.Open(address());
  NkStartAppClient started("MAILD", 4242, ":,mail:mail", "--queue /var/spool \"quoted\"");
  ASSERT_TRUE(client.Execute(&started, Within(10)));
  NkStartAppClient bare("WEB", 0, "", "");
  ASSERT_TRUE(client.Execute(&bare, Within(10)));
  NkStopAppClient stopped("MAILD", 4242);
  ASSERT_TRUE(client.Execute(&stopped, Within(10)));

  ASSERT_TRUE(Eventually([&] { return starts.GetQueue().Size() == 2 && stops.GetQueue().Size() == 1; }));
  const std::vector<NkStartAppServer::Request> got = starts.GetQueue().TakeAll();
  EXPECT_EQ(got[0].appName, "MAILD");
  EXPECT_EQ(got[0].pid, 4242);
  EXPECT_EQ(got[0].permissions, ":,mail:mail");
  EXPECT_EQ(got[0].arguments, "--queue /var/spool \"quoted\"");
  EXPECT_EQ(got[1].appName, "WEB");
  EXPECT_EQ(got[1].pid, 0);
  EXPECT_EQ(got[1].permissions, "");
  EXPECT_EQ(got[1].arguments, "");
  NkStopAppServer::Request stop;
  ASSERT_TRUE(stops.GetQueue().Pop(stop));
  EXPECT_EQ(stop.appName, "MAILD");
  EXPECT_EQ(stop.pid, 4242);
  EXPECT_FALSE(stops.GetQueue().Pop(stop));
  EXPECT_EQ(server.failures.load(), 0);
}

TEST(RequestQueueTest, DropsTheOldestWhenFull) {
  NkRequestQueue<int> queue(2);
  for (int i = 1; i <= 4; ++i) queue.Push(i);
  EXPECT_EQ(queue.Dropped(), 2u);
  EXPECT_EQ(queue.TakeAll(), (std::vector<int>{3, 4}));
  EXPECT_EQ(queue.Size(), 0u);
}

}  // namespace
}  // namespace maild
}  // namespace norvak
