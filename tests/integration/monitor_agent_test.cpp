// The monitor and a configuration agent (tools/fake-agent) over real sockets:
// the settings the agent supplies, enterprise mode, the StartApp and StopApp
// notifications, an agent that stalls, dies or answers nonsense, and the
// check of every component against a temporary agent.

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "proc_util.h"
#include "support/agent_suite.h"
#include "support/monitor_harness.h"

namespace {

using norvak_test::AgentSuite;
using norvak_test::CompDef;
using norvak_test::ConfValues;
using norvak_test::MonitorHarness;
using norvak_test::nowMs;
using norvak_test::ShowOnFailure;
using norvak_test::sleepMs;
using Records = std::vector<std::vector<std::string>>;

std::string userGroup() {
  const passwd* pw = getpwuid(getuid());
  const group* gr = getgrgid(getgid());
  return std::string(pw ? pw->pw_name : "") + ":" + (gr ? gr->gr_name : "");
}

// The component lines of an application block run as this user and group.
std::string runAs(std::string block, const std::string& who) {
  for (size_t at = 0; (at = block.find(" -\n", at)) != std::string::npos; at += who.size() + 2) {
    block.replace(at, 3, " " + who + "\n");
  }
  return block;
}

int openDescriptorsOf(pid_t pid) { return procEntries("/proc/" + std::to_string(pid) + "/fd"); }

const char kMailData[] =
    "[44]\n"
    "Notifier/AdminMail = postmaster@agent.example\n"
    "NOTIFIER/FILTERMAIL = filter@agent.example\n"
    "monitor/mta = postfix\n";

class MonitorAgentTest : public ::testing::Test {
 protected:
  // The agent with the mail settings, and MAILD on it alone in the run set.
  void startMailSuite() {
    agent.writeData(kMailData);
    h.writeMeta("agent.mmc", agent.agentApp());
    h.writeMeta("maild.mmc", h.app("MAILD", "AGENT", {{"maild"}}));
    h.writeConf(ConfValues("MAILD"));
    ASSERT_TRUE(h.startUp()) << h.stderrText();
  }

  // A crash of maild is mailed from and to the addresses of kMailData.
  void expectMailWithTheAgentsAddresses() {
    const pid_t maild = h.waitComponent("maild");
    ASSERT_GT(maild, 0);
    ASSERT_EQ(kill(maild, SIGUSR1), 0);
    ASSERT_TRUE(h.waitMails(1));
    const std::string mail = h.mails()[0];
    EXPECT_EQ(mail.rfind("From:filter@agent.example\nTo:postmaster@agent.example\n", 0), 0u) << mail;
  }

  // Changes the agent's answers and waits until it has read them.
  void reloadAgent(const std::string& data) {
    const size_t before = agent.records("Reload").size();
    agent.writeData(data);
    const pid_t pid = h.waitComponent("agent");
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_TRUE(agent.waitRecords("Reload", before + 1));
    ASSERT_EQ(agent.records("Reload").back(), std::vector<std::string>{"ok"});
  }

  MonitorHarness h;
  AgentSuite agent{h};
  ShowOnFailure show{h, agent};
};

TEST_F(MonitorAgentTest, EnterpriseModeRunsWhatTheAgentLists) {
  agent.writeData("[46]\nmonitor/runapplist = WEB\n");
  h.writeMeta("agent.mmc", agent.agentApp());
  h.writeMeta("maild.mmc", h.app("MAILD", "AGENT", {{"maild"}}));
  h.writeMeta("web.mmc", h.app("WEB", "MAILD", {{"httpd", "--term=exit"}}));
  h.writeMeta("filter.mmc", h.app("FILTER", "AGENT", {{"scanner"}}));
  h.writeConf(ConfValues("FILTER"));
  h.setConfValue("UseEnterpriseMode", "yes");
  // Neither the file's list nor the command line adds anything.
  ASSERT_TRUE(h.startUp({"--run", "FILTER"})) << h.stderrText();
  ASSERT_GT(h.waitComponent("httpd"), 0);

  // The agent alone first; what it lists (with what that needs) after it
  // has been asked.
  const int agentUp = h.findLine("application \"AGENT\" has been started");
  ASSERT_GE(agentUp, 0);
  for (const char* comp : {"maild", "httpd"}) {
    EXPECT_GT(h.findLine(std::string("component \"") + comp), agentUp) << comp;
  }
  EXPECT_TRUE(h.starts("scanner").empty()) << "FILTER was started";
  // The mail settings too, since MAILD is described.
  const Records asked = agent.records("Config");
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0][1], "44");
  EXPECT_EQ(asked[1][1], "46");

  // A reload asks again and brings the running set in line.
  const size_t before = h.lineCount();
  reloadAgent("[46]\nmonitor/runapplist = MAILD\n");
  h.signal(SIGHUP);
  ASSERT_GE(h.waitLine("application \"WEB\" has been stopped", before), 0);
  ASSERT_TRUE(agent.waitRecords("StopApp", 1));
  EXPECT_EQ(agent.records("StopApp")[0][0], "WEB");
  EXPECT_GT(h.waitComponent("maild"), 0);
  EXPECT_TRUE(h.starts("scanner").empty());
}

TEST_F(MonitorAgentTest, StartAppAndStopAppCarryTheApplicationsFields) {
  const std::string me = userGroup();
  h.writeMeta("agent.mmc", agent.agentApp());
  // Two components, one of them with no user: two permissions, no arguments.
  std::string maild = h.app("MAILD", "AGENT", {{"maild"}, {"smtpd"}});
  maild = runAs(maild.substr(0, maild.find("    smtpd")), me) + maild.substr(maild.find("    smtpd"));
  h.writeMeta("maild.mmc", maild);
  h.writeMeta("web.mmc", runAs(h.app("WEB", "MAILD", {{"httpd", "--port=8080 --term=exit"}}), me));
  h.writeConf(ConfValues("MAILD, WEB"));
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t maildPid = h.waitComponent("maild");
  const pid_t httpd = h.waitComponent("httpd");

  ASSERT_TRUE(agent.waitRecords("StartApp", 2));
  const std::string httpdArgs = "--args-log=" + h.argsLog("httpd") + " --hup-log=" +
                                h.hupLog("httpd") + " --port=8080 --term=exit";
  EXPECT_EQ(agent.records("StartApp"),
            (Records{{"MAILD", std::to_string(maildPid), ":," + me, ""},
                     {"WEB", std::to_string(httpd), me, httpdArgs}}))
      << "no StartApp for AGENT, the others in start order";

  // httpd ends by itself on SIGTERM: WEB stops, and the agent hears it once.
  ASSERT_EQ(kill(httpd, SIGTERM), 0);
  ASSERT_GE(h.waitLine("application \"WEB\" has been stopped"), 0);
  ASSERT_TRUE(agent.waitRecords("StopApp", 1));
  sleepMs(500);
  EXPECT_EQ(agent.records("StopApp"), (Records{{"WEB", std::to_string(httpd)}}));
  EXPECT_EQ(agent.records("StartApp").size(), 2u);

  // Reloaded without an agent: the one still running is told nothing more.
  const size_t asked = agent.records("Config").size();
  const size_t reloaded = h.lineCount();
  h.setConfValue("AgentAddress", "");
  h.signal(SIGHUP);
  ASSERT_GE(h.waitLine("Monitor::reconnectToAgent()", reloaded), 0);
  ASSERT_EQ(kill(maildPid, SIGTERM), 0);
  ASSERT_GE(h.waitLine("application \"MAILD\" has been stopped", reloaded), 0);
  sleepMs(500);
  EXPECT_EQ(agent.records("StopApp").size(), 1u);
  EXPECT_EQ(agent.records("StartApp").size(), 2u);
  EXPECT_EQ(agent.records("Config").size(), asked);
}

TEST_F(MonitorAgentTest, AgentKilledIsRestartedAndNothingIsLostMeanwhile) {
  agent.writeData(kMailData);
  // Slow to come back, so that there is time to make notices while it is
  // away.
  h.writeMeta("agent.mmc", agent.agentApp("--start-delay=3000", 15));
  h.writeMeta("maild.mmc", h.app("MAILD", "AGENT", {{"maild"}}));
  h.writeMeta("filter.mmc", h.app("FILTER", "AGENT", {{"scanner"}}));
  h.writeMeta("web.mmc", h.app("WEB", "MAILD", {{"httpd"}}));
  h.writeMeta("leaver.mmc", h.app("LEAVER", "", {{"leaver"}}));
  h.writeMeta("newbie.mmc", h.app("NEWBIE", "", {{"newbie"}}));
  h.writeConf(ConfValues("FILTER, WEB, LEAVER"));
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  ASSERT_TRUE(agent.waitRecords("StartApp", 4));
  const pid_t first = h.waitComponent("agent");
  const pid_t leaver = h.waitComponent("leaver");
  ASSERT_GT(first, 0);

  const size_t before = h.lineCount();
  ASSERT_EQ(kill(first, SIGKILL), 0);
  ASSERT_GE(h.waitLine("component \"agent\" terminated by signal", before), 0);
  // While it is away, LEAVER leaves the run set and NEWBIE joins it.
  h.setConfValue("RunAppList", "FILTER, WEB, NEWBIE");
  h.signal(SIGHUP);
  ASSERT_GE(h.waitLine("application \"NEWBIE\" has been started", before), 0);
  ASSERT_GE(h.findLine("application \"LEAVER\" has been stopped", before), 0);
  EXPECT_LT(agent.recordIndex("Listening", 1), 0) << "the agent was back too early";
  const pid_t newbie = h.waitComponent("newbie");

  const pid_t second = h.waitComponent("agent", first);
  ASSERT_GT(second, 0) << "agent not restarted";
  // Those that read their settings from it are told to read them again;
  // WEB depends on the agent only through MAILD.
  ASSERT_GE(h.waitLine("Sending SIGHUP to application MAILD due to AGENT recovered", before), 0);
  EXPECT_GE(h.findLine("Sending SIGHUP to application FILTER due to AGENT recovered", before), 0);
  EXPECT_LT(h.findLine("Sending SIGHUP to application WEB", before), 0);

  // What happened meanwhile reaches the new agent, in order.
  ASSERT_TRUE(agent.waitRecords("StopApp", 1));
  ASSERT_TRUE(agent.waitRecords("StartApp", 5));
  const int relisten = agent.recordIndex("Listening", 1);
  ASSERT_GT(relisten, 0);
  EXPECT_GT(agent.recordIndex("StopApp"), relisten);
  EXPECT_EQ(agent.records("StopApp"), (Records{{"LEAVER", std::to_string(leaver)}}));
  EXPECT_EQ(agent.records("StartApp").back()[0], "NEWBIE");
  EXPECT_EQ(agent.records("StartApp").back()[1], std::to_string(newbie));
  EXPECT_LT(agent.recordIndex("StopApp"), agent.recordIndex("StartApp", relisten));

  // The monitor's own session finds the new agent: a reload reads from it.
  const size_t asked = agent.records("Config").size();
  const size_t reloaded = h.lineCount();
  h.signal(SIGHUP);
  ASSERT_TRUE(agent.waitRecords("Config", asked + 1));
  ASSERT_GE(h.waitLine("Monitor::reconnectToAgent()", reloaded), 0);
  EXPECT_LT(h.findLine("cannot read maild data", reloaded), 0);
}

TEST_F(MonitorAgentTest, StalledAgentDelaysNoRestart) {
  h.writeMeta("agent.mmc", agent.agentApp());
  h.writeMeta("leaver.mmc", h.app("LEAVER", "AGENT", {{"leaver", "--term=exit"}}));
  h.writeMeta("victim.mmc", h.app("VICTIM", "AGENT", {{"victim"}}));
  ConfValues conf("LEAVER, VICTIM");
  conf.recoveryTimeList = "1";
  h.writeConf(conf);
  h.setConfValue("AgentResponseTime", "8");
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  ASSERT_TRUE(agent.waitRecords("StartApp", 2));
  const pid_t agentPid = h.waitComponent("agent");
  const pid_t leaver = h.waitComponent("leaver");
  const pid_t victim = h.waitComponent("victim");
  ASSERT_GT(victim, 0);

  ASSERT_EQ(kill(agentPid, SIGSTOP), 0);
  // LEAVER's component ends by itself; its application is stopped, and the
  // agent is to be told, one recovery time later. Right after that the
  // victim is killed.
  ASSERT_EQ(kill(leaver, SIGTERM), 0);
  ASSERT_GE(h.waitLine("application \"LEAVER\" has been stopped"), 0);
  const long long killed = nowMs();
  ASSERT_EQ(kill(victim, SIGKILL), 0);
  const pid_t next = h.waitComponent("victim", victim, 20);
  const double delay = (nowMs() - killed) / 1000.0;
  kill(agentPid, SIGCONT);
  ASSERT_GT(next, 0);
  std::cout << "[ measured ] restart of a killed component with the agent stopped: " << delay
            << " s (recovery time 1 s, AgentResponseTime 8 s)" << std::endl;
  // One recovery time and a turn of the loop; held by the agent it would be
  // past the response time.
  EXPECT_LT(delay, 6.0);
  // Once the agent runs again, the notice arrives.
  ASSERT_TRUE(agent.waitRecords("StopApp", 1));
  EXPECT_EQ(agent.records("StopApp")[0][0], "LEAVER");
}

// A reload asks the agent again from a thread of its own: an agent that
// takes the request and says nothing holds up no restart, and what it says
// once it speaks again is taken over.
TEST_F(MonitorAgentTest, ReloadWithASilentAgentDelaysNoRestartAndTakesItsAnswerLater) {
  h.writeMeta("agent.mmc", agent.agentApp());
  h.writeMeta("maild.mmc", h.app("MAILD", "AGENT", {{"maild"}}));
  h.writeMeta("victim.mmc", h.app("VICTIM", "AGENT", {{"victim"}}));
  ConfValues conf("MAILD, VICTIM");
  conf.recoveryTimeList = "1";
  h.writeConf(conf);
  h.setConfValue("AgentResponseTime", "8");
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  ASSERT_TRUE(agent.waitRecords("Config", 1));
  ASSERT_NO_FATAL_FAILURE(reloadAgent(kMailData));
  const pid_t agentPid = h.waitComponent("agent");

  ASSERT_EQ(kill(agentPid, SIGSTOP), 0);
  const size_t before = h.lineCount();
  h.signal(SIGHUP);
  ASSERT_GE(h.waitLine("Monitor::reconnectToAgent()", before, 5), 0);
  const long long ms = h.restartMs("victim");
  kill(agentPid, SIGCONT);
  EXPECT_GE(ms, 0);
  EXPECT_LT(ms, 3000) << "restart time 1 s; the agent's response time 8 s";
  ASSERT_TRUE(agent.waitRecords("Config", 2));
  sleepMs(300);  // the answer on its way to the loop
  const size_t mails = h.mails().size();
  ASSERT_EQ(kill(h.waitComponent("maild"), SIGUSR1), 0);
  ASSERT_TRUE(h.waitMails(mails + 1));
  const std::string mail = h.mails().back();
  EXPECT_EQ(mail.rfind("From:filter@agent.example\nTo:postmaster@agent.example\n", 0), 0u) << mail;
}

// The mail settings come from the agent, and malformed answers later on
// neither stop the monitor nor leak nor lose them.
TEST_F(MonitorAgentTest, MalformedAnswersNeitherStopTheMonitorNorLeak) {
  ASSERT_NO_FATAL_FAILURE(startMailSuite());
  // Asked once, after the first run set started, as the monitor itself.
  ASSERT_TRUE(agent.waitRecords("Config", 1));
  EXPECT_EQ(agent.records("Config"),
            (Records{{"1", "44", "norvak-monitor", std::to_string(h.pid())}}));
  // One reload with good answers, so that everything a reload opens is open.
  h.signal(SIGHUP);
  ASSERT_TRUE(agent.waitRecords("Config", 2));
  sleepMs(300);
  const int descriptors = openDescriptorsOf(h.pid());

  const char* bad[] = {
      "@type = 0",          "@code = 0",
      "@count = 0x7FFFFFFF", "@string-length = 0xFFFFFFFF",
      "@count = -5",        "@close = yes",
      "@delay-ms = 2500",  // past the response time of 1 s
  };
  for (const char* answer : bad) {
    reloadAgent(std::string("[44]\n") + answer + "\n");
    const size_t before = h.lineCount();
    h.signal(SIGHUP);
    ASSERT_GE(h.waitLine("cannot read maild data from norvak-agent: ", before, 20), 0) << answer;
  }
  EXPECT_EQ(waitpid(h.pid(), nullptr, WNOHANG), 0) << "the monitor has ended";

  // The addresses held since the first good answer are still in force.
  reloadAgent(kMailData);
  const size_t asked = agent.records("Config").size();
  h.signal(SIGHUP);
  ASSERT_TRUE(agent.waitRecords("Config", asked + 1));
  sleepMs(300);
  EXPECT_LE(openDescriptorsOf(h.pid()), descriptors) << "descriptors left behind";
  expectMailWithTheAgentsAddresses();
}

// Check-all with a component that checks itself against the agent whose
// address is its last word (the usual form) and one that prints what it is
// told (by default "Options OK").
void writeCheckSuite(MonitorHarness& h, const AgentSuite& agent, const std::string& webCheck) {
  agent.writeData(kMailData);
  h.writeMeta("agent.mmc", agent.agentApp());
  agent.link("checker");
  h.writeMeta("maild.mmc", "APPLICATION MAILD\n  PATH \"" + h.binDir() +
                               "\"\n  DEPENDS AGENT\n  COMPONENTS\n    checker \"--check-request=44 " +
                               agent.address() + "\" 5 3 LOG -\n  ENDCOMPONENTS\nENDAPPLICATION\n");
  // The last word stands for the agent's address, which the check replaces.
  h.writeMeta("web.mmc", h.app("WEB", "MAILD", {{"httpd", webCheck + " " + agent.address()}}));
  h.writeConf(ConfValues("WEB"));
}

TEST_F(MonitorAgentTest, CheckAllChecksEveryComponentAgainstATemporaryAgent) {
  writeCheckSuite(h, agent, "");
  std::string out, err;
  EXPECT_EQ(h.runToEnd({"--check-all"}, out, err), 0) << err;
  EXPECT_NE(out.find("Options OK"), std::string::npos) << out << err;
  EXPECT_EQ(err.find("Options ERROR"), std::string::npos) << err;

  // The temporary agent listened on the side address; the checker and the
  // monitor itself asked it, not the usual address.
  EXPECT_EQ(agent.records("Listening"), (Records{{agent.address() + ".tmp"}}));
  const Records asked = agent.records("Config");
  ASSERT_EQ(asked.size(), 2u) << norvak_test::readFile(agent.recordFile());
  EXPECT_EQ(asked[0][2], "checker");
  EXPECT_EQ(asked[1][2], "norvak-monitor");
  // It is gone with its socket and pid file; nothing was told StartApp.
  EXPECT_TRUE(agent.records("StartApp").empty());
  EXPECT_NE(access((h.runDir() + ".agent.tmp").c_str(), F_OK), 0);
  EXPECT_NE(access((h.runDir() + "norvak-agent.tmp.pid").c_str(), F_OK), 0);
  EXPECT_TRUE(norvak_test::processesMentioning(h.root() + "/").empty());

  // One component's failed check fails the whole.
  MonitorHarness failing;
  AgentSuite failingAgent(failing);
  ShowOnFailure showFailing(failing, failingAgent);
  writeCheckSuite(failing, failingAgent, "--check-output=unknown-option-frobnicate");
  EXPECT_EQ(failing.runToEnd({"--check-all"}, out, err), 8) << err;
  EXPECT_NE(err.find("unknown-option-frobnicate"), std::string::npos) << err;
  EXPECT_NE(err.find("Options ERROR"), std::string::npos) << out << err;
  EXPECT_EQ(out.find("Options OK"), std::string::npos) << out;
}

}  // namespace
