// The settings the configuration agent supplies, read over a real session
// from a scripted agent: which requests go out, how the answers are taken,
// and that a failed read leaves the values held before.

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "config/monitor_conf_reader.h"
#include "ipc/nk_exception.h"
#include "ipc/session_test_support.h"
#include "log_file_test.h"
#include "notify/notify_info.h"
#include "protocols/nk_config_client.h"

namespace {

using norvak::ipc::NkClientSession;
using norvak::ipc::NkDdpUnit;
using norvak::ipc::testing_support::ClientPool;
using norvak::ipc::testing_support::Server;

// The agent's side of the configuration protocol, answering each request
// number with what the test put there (type 2, code 1 and no pairs when
// nothing), and counting the requests.
class ScriptedAgent : public norvak::ipc::NkServerProtocol {
 public:
  struct Answer {
    std::vector<std::pair<std::string, std::string>> pairs;
    int32_t type = 2;
    int32_t code = 1;
  };

  std::unique_ptr<NkDdpUnit> CreateUnit() override { return std::make_unique<NkDdpUnit>(); }
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return norvak::maild::NkConfigClient::kId; }
  bool Process(NkDdpUnit& request, NkDdpUnit& reply) override {
    request.GetInt32();
    const int32_t number = request.GetInt32();
    request.GetString();
    request.GetInt32();
    Answer answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++asked_[number];
      answer = answers_[number];
    }
    reply.AddInt32(answer.type);
    reply.AddInt32(answer.code);
    reply.AddInt32(static_cast<int32_t>(answer.pairs.size()));
    for (const auto& p : answer.pairs) {
      reply.AddString(p.first);
      reply.AddString(p.second);
    }
    return true;
  }

  void set(int number, Answer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[number] = std::move(answer);
  }
  int asked(int number) {
    std::lock_guard<std::mutex> lock(mutex_);
    return asked_[number];
  }

 private:
  std::mutex mutex_;
  std::map<int, Answer> answers_;
  std::map<int, int> asked_;
};

class AgentSettingsTest : public LogFileTest {
 protected:
  AgentSettingsTest() : server_(address_, &agent_) {
    client_.Open(address_);
  }

  // A reader whose file says whether enterprise mode is on.
  std::unique_ptr<MonitorConfReader> reader(bool enterprise, const std::string& extra = "") {
    writeFile(conf_, "[Monitor]\nAddress =\nAgentAddress = " + address_ +
                         "\nRunAppList =\nRecoveryTimeList =\n" + extra +
                     "AgentResponseTime = 2\nUseEnterpriseMode = " +
                         std::string(enterprise ? "yes" : "no") + "\n[Logging]\nFileName = " +
                         logFile_ + "\nLevel = debug\n");
    auto r = std::make_unique<MonitorConfReader>(conf_);
    r->reload();
    return r;
  }

  std::string conf_ = dir_.path() + "/monitor.conf";
  std::string address_ = "local:" + dir_.path() + "/agent.sock";
  ScriptedAgent agent_;
  Server server_;
  NkClientSession client_{ClientPool()};
};

TEST_F(AgentSettingsTest, MailSettingsAreTakenWhateverTheCaseOfTheKeys) {
  agent_.set(44, {{{"Notifier/AdminMail", "admin@example.org"},
                   {"NOTIFIER/FILTERMAIL", "filter@example.org"},
                   {"monitor/mta", "Postfix"},
                   {"notifier/other", "ignored"}}});
  auto r = reader(false);
  r->readConfigFromAgent(&client_, true);
  EXPECT_EQ(r->getAdminMail(), "admin@example.org");
  EXPECT_EQ(r->getFilterMail(), "filter@example.org");
  EXPECT_EQ(r->getMta(), "POSTFIX");
  // Not in enterprise mode: the run list is not asked for.
  EXPECT_EQ(agent_.asked(46), 0);
  EXPECT_TRUE(r->getAgentRunAppList().empty());

  // Without the mail daemon's application nothing is asked at all.
  r->readConfigFromAgent(&client_, false);
  EXPECT_EQ(agent_.asked(44), 1);

  // An answer without the addresses: the local superuser, with a warning.
  agent_.set(44, {{{"monitor/mta", "exim"}}});
  r->readConfigFromAgent(&client_, true);
  EXPECT_EQ(r->getAdminMail(), localSuperuserMailbox());
  EXPECT_EQ(r->getFilterMail(), localSuperuserMailbox());
  EXPECT_EQ(r->getMta(), "EXIM");
  for (const char* name : {"/Notifier/AdminMail", "/Notifier/FilterMail"}) {
    EXPECT_TRUE(warned(std::string("parameter \"") + name +
                       "\" from maild configuration not defined, use default value \"" +
                       localSuperuserMailbox() + "\""));
  }
}

// The file's addresses stand in for the agent's, but never over them.
TEST_F(AgentSettingsTest, FileMailAddressesFillInForTheAgent) {
  auto r = reader(false, "AdminMail = root@mail.example\n");
  EXPECT_EQ(r->getAdminMail(), "root@mail.example");  // before the agent answered
  EXPECT_EQ(r->getFilterMail(), "");

  agent_.set(44, {{{"monitor/mta", "exim"}}});
  r->readConfigFromAgent(&client_, true);
  EXPECT_EQ(r->getAdminMail(), "root@mail.example");
  EXPECT_EQ(r->getFilterMail(), localSuperuserMailbox());
  EXPECT_TRUE(warned("parameter \"/Notifier/AdminMail\" from maild configuration not defined, "
                     "use default value \"root@mail.example\""));

  agent_.set(44, {{{"notifier/adminmail", "admin@example.org"}}});
  r->readConfigFromAgent(&client_, true);
  EXPECT_EQ(r->getAdminMail(), "admin@example.org");
  // A reload of the file keeps the agent's value on top.
  r->reload();
  EXPECT_EQ(r->getAdminMail(), "admin@example.org");
}

TEST_F(AgentSettingsTest, AFailedReadKeepsWhatWasHeld) {
  agent_.set(44, {{{"notifier/adminmail", "admin@example.org"},
                   {"notifier/filtermail", "filter@example.org"}}});
  agent_.set(46, {{{"monitor/runapplist", "MAILD,WEB"}}});
  auto r = reader(true);
  r->readConfigFromAgent(&client_, true);
  ASSERT_EQ(r->getAdminMail(), "admin@example.org");
  ASSERT_EQ(r->getAgentRunAppList(), (AppNameSet{"MAILD", "WEB"}));

  // A wrong answer to the mail settings: nothing changes, and the run list
  // is not even asked for.
  ScriptedAgent::Answer broken;
  broken.code = 0;
  agent_.set(44, broken);
  agent_.set(46, {{{"monitor/runapplist", "AGENT"}}});
  r->readConfigFromAgent(&client_, true);
  EXPECT_TRUE(logged("ERROR cannot read maild data from norvak-agent: "
                     "ConfigClient::ParseResponse - invalid response code\n"));
  EXPECT_EQ(r->getAdminMail(), "admin@example.org");
  EXPECT_EQ(r->getFilterMail(), "filter@example.org");
  EXPECT_EQ(agent_.asked(46), 1);

  // A wrong answer to the run list keeps the last good list.
  ScriptedAgent::Answer wrongType;
  wrongType.type = 0;
  agent_.set(46, wrongType);
  r->readConfigFromAgent(&client_, false);
  EXPECT_TRUE(logged("ERROR cannot read monitor data from norvak-agent: "
                     "ConfigClient::invalid response type ->0\n"));
  EXPECT_EQ(r->getAgentRunAppList(), (AppNameSet{"MAILD", "WEB"}));

  // No session: said so, nothing else.
  r->readConfigFromAgent(nullptr, true);
  EXPECT_TRUE(logged("ERROR agent session is not created\n"));
  EXPECT_EQ(r->getAdminMail(), "admin@example.org");
}

TEST_F(AgentSettingsTest, RunListIsSplitAsTheAgentWroteIt) {
  auto r = reader(true);
  const std::pair<std::string, AppNameSet> cases[] = {
      {"", {"AGENT"}},
      {"MAILD", {"MAILD"}},
      // A leading comma and an empty last piece add nothing; names are not
      // trimmed.
      {",MAILD,web,", {"MAILD", "web"}},
      {"MAILD, WEB", {"MAILD", " WEB"}},
      {"maild,MAILD", {"maild"}},
  };
  for (const auto& c : cases) {
    agent_.set(46, {{{"Monitor/RunAppList", c.first}, {"monitor/extra", "x"}}});
    r->readConfigFromAgent(&client_, false);
    EXPECT_EQ(r->getAgentRunAppList(), c.second) << "\"" << c.first << "\"";
  }
  EXPECT_TRUE(warned("unknown parameter: monitor/extra = x"));
  EXPECT_TRUE(logged("DEBUG agent sent run app list: MAILD, WEB\n"));
}

}  // namespace
