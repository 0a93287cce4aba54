#ifndef NORVAK_CONFIG_MONITOR_CONF_READER_H_
#define NORVAK_CONFIG_MONITOR_CONF_READER_H_

#include <string>

#include "config/conf_reader.h"
#include "frame/app_name_less.h"

namespace norvak {
namespace ipc {
class NkIfClientSession;
}  // namespace ipc
}  // namespace norvak

// All of the monitor's settings: those of its configuration file (ConfReader)
// and those the configuration agent supplies. The agent's values survive a
// reload of the file; they change only when the agent answers.
class MonitorConfReader : public ConfReader {
 public:
  // Request numbers of the agent's configuration protocol.
  static const unsigned kMaildRequest = 44;
  static const unsigned kMonitorRequest = 46;

  explicit MonitorConfReader(const std::string& confFile);
  ~MonitorConfReader() override;

  // What the agent supplies, as it sent it; empty what it did not.
  struct AgentValues {
    std::string adminMail;
    std::string filterMail;
    bool mailAnswered = false;
    std::string mta;
    AppNameSet runAppList;
  };

  // Recipient ("To:") of notification mail: the agent's, else the file's
  // AdminMail; else, once the agent has answered, the local superuser's
  // mailbox; empty before that.
  std::string getAdminMail() const { return mailAddress(agent_.adminMail, getFileAdminMail()); }
  // Sender ("From:") of notification mail, chosen the same way.
  std::string getFilterMail() const {
    return mailAddress(agent_.filterMail, getFileFilterMail());
  }
  // The mail transfer agent in upper case, for the pre-update script.
  const std::string& getMta() const { return agent_.mta; }
  // The run list in enterprise mode; empty until the agent answered.
  const AppNameSet& getAgentRunAppList() const { return agent_.runAppList; }
  // The agent's values, to be read on a copy elsewhere and taken over here.
  const AgentValues& agentValues() const { return agent_; }
  void setAgentValues(const AgentValues& values) { agent_ = values; }

  // Asks the agent for the mail settings (only when the mail daemon's
  // application is described) and, in enterprise mode, for the run list;
  // each exchange is bounded by the agent response time. Never throws: a
  // failure is logged and leaves the values already held as they were. No
  // session (the agent could not be reached) is logged as well.
  void readConfigFromAgent(norvak::ipc::NkIfClientSession* session, bool maildDefined);

 private:
  // Throw std::runtime_error with the reason on any failure, having changed
  // nothing.
  void readMaildConfigFromAgent(norvak::ipc::NkIfClientSession& session);
  void readMonitorConfigFromAgent(norvak::ipc::NkIfClientSession& session);

  std::string mailAddress(const std::string& agents, const std::string& files) const;

  AgentValues agent_;
};

#endif  // NORVAK_CONFIG_MONITOR_CONF_READER_H_
