// Status (8300) and Control (8301): the bytes on the wire, answers read back
// by the clients, and what the servers make of strangers and broken requests.
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/nk_ddp_unit.h"
#include "ipc/nk_exception.h"
#include "ipc/session_test_support.h"
#include "protocols/nk_control.h"
#include "protocols/nk_status.h"

namespace norvak {
namespace maild {
namespace {

using ipc::NkDdpUnit;
using ipc::testing_support::Wire;

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

NkStatusResult Sample() {
  NkStatusResult result;
  result.ok = true;
  NkAppStatus mail;
  mail.name = "MAILD";
  mail.fullName = "Mail \"daemon\"";
  mail.running = true;
  mail.dependencies = {"AGENT", "DNS"};
  NkCompStatus smtpd;
  smtpd.name = "smtpd";
  smtpd.pid = 4711;
  smtpd.state = kWaitingState;
  smtpd.startTime = 1700000000;
  smtpd.restarts = 3;
  smtpd.nextTry = 5000000000LL;  // past 2038: needs all 64 bits
  smtpd.lastFaultTime = 1700000100;
  smtpd.lastFaultCause = "signal 9 (Killed)";
  smtpd.checks = {{"TCP 127.0.0.1:25", "failed", 5000000001LL, 2, "connect: refused"},
                  {"watchdog", "ok", 1700000200, 0, ""}};
  smtpd.notifyStatus = "queue 12";
  mail.components.push_back(smtpd);
  mail.components.push_back(NkCompStatus{});
  result.apps.push_back(mail);
  NkAppStatus web;
  web.name = "WEB";
  web.adminStopped = true;
  NkCompStatus httpd;
  httpd.name = "httpd";
  httpd.state = kExitedState;
  httpd.exitStatus = 3;
  web.components.push_back(httpd);
  result.apps.push_back(web);
  return result;
}

TEST(StatusTest, AnswerTravelsWholeFromServerToClient) {
  NkStatusClient client({"MAILD", "WEB"});
  NkDdpUnit unit;
  ASSERT_TRUE(client.MakeRequest(unit));
  EXPECT_EQ(unit.GetData(), BigEndian32(2) + DdpString("MAILD") + DdpString("WEB"));

  Wire wire;
  std::vector<std::string> asked;
  NkStatusServer server([&](const std::vector<std::string>& apps) {
    asked = apps;
    return Sample();
  });
  wire.Send(unit.GetData());
  ASSERT_TRUE(server.Process(wire.request, wire.reply));
  EXPECT_EQ(asked, (std::vector<std::string>{"MAILD", "WEB"}));

  wire.Send(wire.reply.GetData());
  ASSERT_TRUE(client.ProcessReply(wire.answer));
  const NkStatusResult& got = client.GetResult();
  const NkStatusResult want = Sample();
  ASSERT_TRUE(got.ok);
  ASSERT_EQ(got.apps.size(), 2u);
  EXPECT_EQ(got.apps[0].fullName, want.apps[0].fullName);
  EXPECT_TRUE(got.apps[0].running);
  EXPECT_FALSE(got.apps[0].adminStopped);
  EXPECT_EQ(got.apps[0].dependencies, want.apps[0].dependencies);
  ASSERT_EQ(got.apps[0].components.size(), 2u);
  const NkCompStatus& c = got.apps[0].components[0];
  EXPECT_EQ(c.pid, 4711);
  EXPECT_EQ(c.state, "waiting");
  EXPECT_EQ(c.startTime, 1700000000);
  EXPECT_EQ(c.restarts, 3);
  EXPECT_EQ(c.nextTry, 5000000000LL);
  EXPECT_EQ(c.lastFaultTime, 1700000100);
  EXPECT_EQ(c.lastFaultCause, "signal 9 (Killed)");
  EXPECT_EQ(c.notifyStatus, "queue 12");
  ASSERT_EQ(c.checks.size(), 2u);
  EXPECT_EQ(c.checks[0].check + "|" + c.checks[0].result + "|" + std::to_string(c.checks[0].time) +
                "|" + std::to_string(c.checks[0].failures) + "|" + c.checks[0].error,
            "TCP 127.0.0.1:25|failed|5000000001|2|connect: refused");
  EXPECT_EQ(c.checks[1].check, "watchdog");
  EXPECT_TRUE(got.apps[1].components[0].checks.empty());
  EXPECT_EQ(got.apps[0].components[1].pid, -1);
  EXPECT_EQ(got.apps[1].name, "WEB");
  EXPECT_TRUE(got.apps[1].adminStopped);
  // The exit statuses follow everything else and must land on their own
  // components across the applications.
  std::vector<int32_t> exits;
  for (const NkAppStatus& app : got.apps)
    for (const NkCompStatus& comp : app.components) exits.push_back(comp.exitStatus);
  EXPECT_EQ(exits, (std::vector<int32_t>{-1, -1, 3}));
  EXPECT_EQ(got.apps[1].components[0].state, "exited");
  // An older client stops after the last component and finds the answer
  // it always read: only the trailers follow it, the health mark counted as
  // one more exit status, the health after what such a client reads.
  const std::string bytes = wire.reply.GetData();
  const std::string trailer = BigEndian32(4) + BigEndian32(0xFFFFFFFFu) +
                              BigEndian32(0xFFFFFFFFu) + BigEndian32(3) +
                              BigEndian32(static_cast<uint32_t>(kHealthTrailerMark));
  const size_t at = bytes.rfind(trailer);
  ASSERT_NE(at, std::string::npos);
  const std::string health = DdpString("queue 12") + BigEndian32(2);
  EXPECT_EQ(bytes.substr(at + trailer.size(), health.size()), health);
  EXPECT_EQ(got.message, "");

  // An older monitor's answer: no mark, nothing after the last component.
  // Waiting for the trailer would hold the client until its deadline.
  const std::string marked = BigEndian32(1) + DdpString(kStatusTrailers);
  ASSERT_EQ(bytes.compare(0, marked.size(), marked), 0);
  Wire old;
  old.Send(BigEndian32(1) + DdpString("") +
           bytes.substr(marked.size(), at - marked.size()));
  NkStatusClient oldReader;
  const long long began = NowMs();
  ASSERT_TRUE(oldReader.ProcessReply(old.answer));
  EXPECT_LT(NowMs() - began, 2000);
  ASSERT_EQ(oldReader.GetResult().apps.size(), 2u);
  EXPECT_EQ(oldReader.GetResult().apps[1].components[0].state, "exited");
  EXPECT_EQ(oldReader.GetResult().apps[1].components[0].exitStatus, -1);
  // The monitor before the health checks: exit statuses without the mark.
  Wire noHealth;
  noHealth.Send(bytes.substr(0, at) + BigEndian32(3) + trailer.substr(4, 12));
  NkStatusClient exitReader;
  ASSERT_TRUE(exitReader.ProcessReply(noHealth.answer));
  EXPECT_LT(NowMs() - began, 4000);
  EXPECT_EQ(exitReader.GetResult().apps[1].components[0].exitStatus, 3);
  EXPECT_TRUE(exitReader.GetResult().apps[0].components[0].checks.empty());
}

TEST(StatusTest, StrangersAndAbsurdRequestsGetNoStatus) {
  bool called = false;
  auto handler = [&](const std::vector<std::string>&) {
    called = true;
    return Sample();
  };
  {
    Wire wire;
    NkStatusServer server(handler, [](const ipc::NkIfIPC&) { return std::string("not you"); });
    wire.Send(BigEndian32(1) + DdpString("MAILD"));
    ASSERT_TRUE(server.Process(wire.request, wire.reply));
    EXPECT_EQ(wire.reply.GetData(), BigEndian32(0) + DdpString("not you") + BigEndian32(0));
  }
  for (const std::string& bytes :
       {BigEndian32(0xFFFFFFFFu), BigEndian32(5000), BigEndian32(1) + BigEndian32(1u << 30)}) {
    Wire wire;
    NkStatusServer server(handler);
    wire.Send(bytes);
    EXPECT_ANY_THROW(server.Process(wire.request, wire.reply));
  }
  EXPECT_FALSE(called);
}

TEST(ControlTest, ClientAndServerSpeakTheWireFormat) {
  NkControlClient client(NkControlAction::kRestart, "MAILD");
  NkDdpUnit unit;
  ASSERT_TRUE(client.MakeRequest(unit));
  EXPECT_EQ(unit.GetData(), BigEndian32(3) + DdpString("MAILD"));

  Wire wire;
  NkControlAction gotAction = NkControlAction::kStart;
  std::string gotApp;
  NkControlServer server([&](NkControlAction action, const std::string& app) {
    gotAction = action;
    gotApp = app;
    return NkControlResult{false, "start of \"MAILD\" failed"};
  });
  wire.Send(unit.GetData());
  ASSERT_TRUE(server.Process(wire.request, wire.reply));
  EXPECT_EQ(gotAction, NkControlAction::kRestart);
  EXPECT_EQ(gotApp, "MAILD");
  wire.Send(wire.reply.GetData());
  ASSERT_TRUE(client.ProcessReply(wire.answer));
  EXPECT_FALSE(client.GetResult().ok);
  EXPECT_EQ(client.GetResult().message, "start of \"MAILD\" failed");

  // A reload carries its pids after an empty name.
  NkControlClient reload({42, 7});
  NkDdpUnit reloadUnit;
  ASSERT_TRUE(reload.MakeRequest(reloadUnit));
  EXPECT_EQ(reloadUnit.GetData(),
            BigEndian32(4) + DdpString("") + BigEndian32(2) + BigEndian32(42) + BigEndian32(7));
}

TEST(ControlTest, RefusedUnknownAndOversizedRequestsAreNotCarriedOut) {
  int calls = 0;
  auto handler = [&](NkControlAction, const std::string&) {
    ++calls;
    return NkControlResult{true, ""};
  };
  {
    Wire wire;
    NkControlServer server(handler, [](const ipc::NkIfIPC&) { return std::string("stranger"); });
    wire.Send(BigEndian32(2) + DdpString("MAILD"));
    ASSERT_TRUE(server.Process(wire.request, wire.reply));
    EXPECT_EQ(wire.reply.GetData(), BigEndian32(0) + DdpString("stranger"));
  }
  for (uint32_t action : {0u, 99u, 0xFFFFFFFFu}) {
    Wire wire;
    NkControlServer server(handler);
    wire.Send(BigEndian32(action) + DdpString("MAILD"));
    ASSERT_TRUE(server.Process(wire.request, wire.reply));
    EXPECT_EQ(wire.reply.GetData().substr(0, 4), BigEndian32(0)) << action;
  }
  {
    Wire wire;
    NkControlServer server(handler);
    wire.Send(BigEndian32(1) + BigEndian32(1u << 30));
    EXPECT_ANY_THROW(server.Process(wire.request, wire.reply));
  }
  // A reload has a gate of its own, and never reads a count beyond any
  // system's processes.
  for (uint32_t count : {1u, 1u << 30}) {
    Wire wire;
    NkControlServer server(handler);
    server.SetReload(
        [&](const std::vector<int32_t>&, const ipc::NkIfIPC&) {
          ++calls;
          return NkControlResult{true, ""};
        },
        [](const ipc::NkIfIPC&) { return std::string("no reloads for strangers"); });
    wire.Send(BigEndian32(4) + DdpString("") + BigEndian32(count) + BigEndian32(42));
    if (count > 1) {
      EXPECT_ANY_THROW(server.Process(wire.request, wire.reply));
      continue;
    }
    ASSERT_TRUE(server.Process(wire.request, wire.reply));
    EXPECT_EQ(wire.reply.GetData(),
              BigEndian32(0) + DdpString("no reloads for strangers"));
  }
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace maild
}  // namespace norvak
