#include <stdlib.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nk_exception.h"
#include "nk_ipc_error.h"
#include "nk_session.h"
#include "nk_session_pool_manager.h"
#include "session_test_support.h"
#include "temp_dir.h"

namespace norvak {
namespace ipc {
namespace {

using Addresses = std::vector<std::string>;
using testing_support::CapturingLog;

class PidFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& content) {
    const std::string path = dir_.path() + "/server.pid";
    std::ofstream(path) << content;
    return path;
  }
  TempDir dir_;
};

TEST_F(PidFileTest, LinesBecomeUnixAndTcpAddresses) {
  CapturingLog log;
  const std::string path =
      Write("4242\n/var/norvak/ipc/.agent\n127.0.0.1:3000\n::1:3001\n[fe80::1]:3002\n\n");
  EXPECT_EQ((Addresses{"local:/var/norvak/ipc/.agent", "inet:3000@127.0.0.1", "inet:3001@::1",
                       "inet:3002@fe80::1"}),
            NkSession::ParsePidFile(path));
  EXPECT_TRUE(log.Contains(base::NK_LOG_DEBUG,
                           "ParsePidFile: add address 'inet:3000@127.0.0.1' from pid file"));
  EXPECT_TRUE(log.Contains(base::NK_LOG_DEBUG, "ParsePidFile: success parse pid file"));
}

TEST_F(PidFileTest, OnlyThePidLineGivesNoAddress) {
  CapturingLog log;
  const std::string path = Write("4242\n");
  EXPECT_TRUE(NkSession::ParsePidFile(path).empty());
  EXPECT_TRUE(log.Contains(base::NK_LOG_ALERT, "Can not find any address in pid file '" + path + "'"));
}

TEST_F(PidFileTest, UnreadableFilesContributeNothing) {
  CapturingLog log;
  const std::string missing = dir_.path() + "/missing.pid";
  EXPECT_TRUE(NkSession::ParsePidFile(missing).empty());
  EXPECT_TRUE(log.Contains(base::NK_LOG_ERROR, "Error during load and parse pid file '" + missing +
                                                   "': can not open file for reading:"));
  const std::string empty = Write("");
  EXPECT_TRUE(NkSession::ParsePidFile(empty).empty());
  EXPECT_TRUE(log.Contains(base::NK_LOG_ERROR, "can not find pid number"));
}

TEST_F(PidFileTest, AddressListMixesPidFilesAndSpecifications) {
  const std::string path = Write("1\n/tmp/a.sock\n");
  EXPECT_EQ((Addresses{"unix:/tmp/b.sock", "local:/tmp/a.sock", "inet:25@127.0.0.1"}),
            NkSession::ResolveAddresses(
                {"unix:/tmp/b.sock", " PID :" + path, "inet:25@127.0.0.1"}));
  // The path is taken as it stands, blanks included.
  EXPECT_TRUE(NkSession::ResolveAddresses({"pid: " + path}).empty());
  EXPECT_THROW(NkSession::ResolveAddresses({"tcp:25@127.0.0.1"}), NkIpcError);
}

TEST_F(PidFileTest, OpeningFromAnEmptyPidFileFails) {
  const std::string path = Write("4242\n");
  NkClientSession client(testing_support::ClientPool());
  EXPECT_THROW(client.Open("pid:" + path), base::NkException);
  EXPECT_EQ("Initial State", client.GetStateName());
}

TEST(ConnectTimeoutTest, ComesFromTheEnvironmentWithATenSecondDefault) {
  const char* saved = getenv("NK_CONNECT_TIMEOUT");
  const std::string keep = saved ? saved : "";
  unsetenv("NK_CONNECT_TIMEOUT");
  EXPECT_EQ(base::NkTimeout::Seconds(10), NkSessionPoolManager::ConnectTimeoutFromEnvironment());
  setenv("NK_CONNECT_TIMEOUT", "3", 1);
  EXPECT_EQ(base::NkTimeout::Seconds(3), NkSessionPoolManager::ConnectTimeoutFromEnvironment());
  setenv("NK_CONNECT_TIMEOUT", "3s", 1);
  EXPECT_EQ(base::NkTimeout::Seconds(10), NkSessionPoolManager::ConnectTimeoutFromEnvironment());
  if (saved) {
    setenv("NK_CONNECT_TIMEOUT", keep.c_str(), 1);
  } else {
    unsetenv("NK_CONNECT_TIMEOUT");
  }
}

}  // namespace
}  // namespace ipc
}  // namespace norvak
