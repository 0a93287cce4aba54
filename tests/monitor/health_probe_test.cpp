#include "monitor/health_probe.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>

#include "loopback_port.h"

namespace {

// Each probe runs on a loop of its own until it gives up (RETRIES 1); what
// it found must be what the check met, whichever way the check is reached.
TEST(HealthProbeTest, ChecksReportWhatTheyMetAndGiveUpAfterTheirRetries) {
  boost::asio::io_context loop;
  boost::asio::ip::tcp::acceptor listening(
      loop, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
  const std::string open = std::to_string(listening.local_endpoint().port());
  const std::string closed = std::to_string(freePort());
  struct Case {
    HealthDef::Kind kind;
    std::string host, port, command;
    bool fails;
    std::string error;
  } cases[] = {
      {HealthDef::Kind::kTcp, "127.0.0.1", open, "", false, ""},
      {HealthDef::Kind::kTcp, "localhost", open, "", false, ""},  // looked up off the loop
      {HealthDef::Kind::kTcp, "127.0.0.1", closed, "", true, "connect: Connection refused"},
      {HealthDef::Kind::kTcp, "no-such-host.invalid", "1", "", true, "cannot resolve"},
      {HealthDef::Kind::kExec, "", "", "/bin/sh -c 'exit 0'", false, ""},
      {HealthDef::Kind::kExec, "", "", "/bin/sh -c 'exit 3'", true, "exit 3"},
      {HealthDef::Kind::kExec, "", "", "/bin/sleep 30", true, "killed at the time-out of 1 s"},
      {HealthDef::Kind::kExec, "", "", "/no/such/program", true, "exit 5"},
  };
  for (const Case& c : cases) {
    HealthDef def;
    def.kind = c.kind;
    def.host = c.host;
    def.port = c.port;
    def.command = c.command;
    def.interval = 1;
    def.timeout = 1;
    def.retries = 1;
    SCOPED_TRACE(def.label());
    bool failed = false;
    auto probe = HealthProbe::start(loop, def, 0, 0, [&] { failed = true; });
    EXPECT_EQ(probe->result().result, "pending");
    // The first result decides; the deadline only ends a probe gone silent.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    loop.restart();
    while (probe->result().result == "pending" && std::chrono::steady_clock::now() < deadline)
      loop.run_one_for(std::chrono::milliseconds(100));
    EXPECT_EQ(failed, c.fails);
    EXPECT_EQ(probe->result().result, c.fails ? "failed" : "ok");
    EXPECT_EQ(probe->result().error.rfind(c.error, 0), 0u) << probe->result().error;
    if (c.fails) {
      EXPECT_NE(probe->cause().find("failed 1 time(s) in a row: " + c.error), std::string::npos);
    }
    probe->stop();
  }
  // A program still running when the probe stops goes with it, reaped.
  HealthDef slow;
  slow.kind = HealthDef::Kind::kExec;
  slow.command = "/bin/sleep 30";
  slow.interval = 1;
  slow.timeout = 10;
  auto probe = HealthProbe::start(loop, slow, 0, 0, [] {});
  loop.restart();
  loop.run_for(std::chrono::milliseconds(1300));
  probe.reset();
  loop.restart();
  loop.run_for(std::chrono::milliseconds(200));
  int status;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a check program was left behind";
}

}  // namespace
