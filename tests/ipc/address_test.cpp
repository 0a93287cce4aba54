#include <stdexcept>

#include <gtest/gtest.h>

#include "nk_exception.h"
#include "nk_inet_socket.h"
#include "nk_inet_socket_address.h"
#include "nk_ipc_factory.h"
#include "nk_unix_socket.h"
#include "nk_unix_socket_address.h"
#include "socket_test_util.h"

namespace norvak {
namespace ipc {
namespace {

using testing_util::LogCapture;

TEST(CreateAddressTest, UnixPrefixesGiveEqualAddresses) {
  NkIpcAddressPtr local = CreateAddress("local:/var/norvak/ipc/.agent");
  NkIpcAddressPtr unix_address = CreateAddress("unix:/var/norvak/ipc/.agent");
  ASSERT_TRUE(local && unix_address);
  EXPECT_EQ(NkIpcAddress::kUnix, local->GetFamily());
  EXPECT_TRUE(local->IsEqual(*unix_address));
  EXPECT_EQ("local:/var/norvak/ipc/.agent", local->ToString());
  EXPECT_EQ("local:/var/norvak/ipc/.agent", unix_address->ToString());
  // The specification stays as given, so it can be parsed again.
  EXPECT_EQ("unix:/var/norvak/ipc/.agent", unix_address->GetSpec());
  EXPECT_FALSE(local->IsEqual(*CreateAddress("local:/other")));
}

TEST(CreateAddressTest, InetAddresses) {
  NkIpcAddressPtr address = CreateAddress("inet:3000@127.0.0.1");
  ASSERT_TRUE(address);
  EXPECT_EQ(NkIpcAddress::kInet, address->GetFamily());
  EXPECT_EQ("inet:127.0.0.1:3000", address->ToString());
  EXPECT_EQ(16u, address->GetSockAddrLen());
  EXPECT_TRUE(address->IsEqual(*CreateAddress("inet:3000@127.0.0.1")));
  EXPECT_FALSE(address->IsEqual(*CreateAddress("inet:3001@127.0.0.1")));
  EXPECT_FALSE(address->IsEqual(*CreateAddress("local:/x")));

  NkIpcAddressPtr v6 = CreateAddress("inet:3000@::1");
  ASSERT_TRUE(v6);
  EXPECT_EQ("inet:[::1]:3000", v6->ToString());
  EXPECT_EQ(28u, v6->GetSockAddrLen());

  // Service names resolve through the services database.
  NkIpcAddressPtr named = CreateAddress("inet:ssh@127.0.0.1");
  if (named) {
    EXPECT_EQ(22, std::static_pointer_cast<NkInetSocketAddress>(named)->GetPort());
  }
}

TEST(CreateAddressTest, RejectedSpecificationsAndTheirLogLines) {
  LogCapture log;
  EXPECT_FALSE(CreateAddress(""));
  EXPECT_FALSE(CreateAddress("*"));
  EXPECT_FALSE(CreateAddress("inet:3000"));
  EXPECT_EQ(1, log.Count(base::NK_LOG_ERROR,
                         "inet parser (inet:3000) failed - separator '@' was not found"));
  EXPECT_FALSE(CreateAddress("tcp:3000@127.0.0.1"));
  EXPECT_EQ(2, log.Count(base::NK_LOG_DEBUG, "CreateAddress:   this is not an unix address"));
  EXPECT_EQ(2, log.Count(base::NK_LOG_DEBUG, "CreateAddress: this is not an inet address"));
  EXPECT_EQ(0, log.Count(base::NK_LOG_ERROR, "tcp:3000"));
  EXPECT_EQ(1, log.Count(base::NK_LOG_DEBUG,
                         "InetSocketAddress::Parse(tcp:3000@127.0.0.1) failed - specifier "
                         "'inet:' was not found"));
  EXPECT_FALSE(CreateAddress("inet:no-such-service-xyz@127.0.0.1"));
  EXPECT_EQ(1, log.Count(base::NK_LOG_ERROR, "can`t resolve port number no-such-service-xyz: "));
  EXPECT_THROW(CreateAddress("inet:3000@local host"), std::invalid_argument);
  // A path longer than a socket address can hold would be cut or overrun.
  EXPECT_FALSE(CreateAddress("local:/" + std::string(200, 'a')));
}

TEST(IpcFactoryTest, ChoosesTheSocketKindAndChecksTheAddresses) {
  NkIfIPCPtr unix_ipc = CreateIPC("local:/tmp/x", "");
  ASSERT_TRUE(std::dynamic_pointer_cast<NkUnixSocket>(unix_ipc));
  EXPECT_EQ(0770, std::dynamic_pointer_cast<NkUnixSocket>(unix_ipc)->GetMode());
  EXPECT_EQ(-1, unix_ipc->GetHandle());
  ASSERT_TRUE(unix_ipc->GetRemoteAddress());  // a fresh unparsed one
  EXPECT_EQ(NkIpcAddress::kUnparsed, unix_ipc->GetRemoteAddress()->GetFamily());
  EXPECT_TRUE(std::dynamic_pointer_cast<NkInetSocket>(CreateIPC("*", "inet:1@127.0.0.1")));

  try {
    CreateIPC("", "*");
    FAIL();
  } catch (const base::NkParameterError& e) {
    EXPECT_STREQ("local and remote addresses: the 'not defined' parameter is invalid", e.what());
  }
  try {
    CreateIPC("local:/tmp/x", "inet:1@127.0.0.1");
    FAIL();
  } catch (const base::NkException& e) {
    EXPECT_STREQ("local and remote address have different protocols families", e.what());
  }
  try {
    CreateIPC(std::make_shared<NkUnixSocketAddress>("local:/unparsed"), NkIpcAddressPtr());
    FAIL();
  } catch (const base::NkException& e) {
    EXPECT_STREQ("Unknown address domain", e.what());
  }
}

TEST(IpcFactoryTest, DescriptionText) {
  NkIfIPCPtr ipc = CreateIPC("local:/tmp/a", "local:/tmp/b");
  EXPECT_EQ("connection (fd->invalid, local->local:/tmp/a, server->local:/tmp/b)",
            ipc->GetDescription());
  ipc->SetServer(true);
  ipc->SetListening(true);
  EXPECT_EQ("a listening connection (fd->invalid, local->local:/tmp/a, client->local:/tmp/b)",
            ipc->GetDescription());
  EXPECT_EQ("connection (fd->invalid, server->inet:127.0.0.1:7)",
            CreateIPC("", "inet:7@127.0.0.1")->GetDescription());
  EXPECT_TRUE(ipc->IsRemoteAddressEqual(*CreateAddress("unix:/tmp/b")));

  // Expiry: never until set, and never for a never-expiring connection.
  EXPECT_TRUE(ipc->GetExpiry().IsUndefined());
  ipc->SetExpiry(60);
  EXPECT_FALSE(ipc->GetExpiry().IsPassed());
  EXPECT_FALSE(ipc->GetExpiry().IsUndefined());
  NkIfIPCPtr forever = CreateIPC("local:/tmp/a", "");
  forever->SetNeverExpires(true);
  forever->SetExpiry(0);
  EXPECT_TRUE(forever->GetExpiry().IsUndefined());
}

}  // namespace
}  // namespace ipc
}  // namespace norvak
