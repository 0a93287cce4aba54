#ifndef NORVAK_CONFIG_MONITOR_CONF_READER_H_
#define NORVAK_CONFIG_MONITOR_CONF_READER_H_

#include <string>

#include "config/conf_reader.h"
#include "frame/app_name_less.h"

// All of the monitor's settings: those of its configuration file (ConfReader)
// and those the configuration agent supplies. The agent's values survive a
// reload of the file; they change only when the agent answers.
class MonitorConfReader : public ConfReader {
 public:
  explicit MonitorConfReader(const std::string& confFile);
  ~MonitorConfReader() override;

  // Recipient ("To:") of notification mail; empty until the agent answered.
  const std::string& getAdminMail() const { return adminMail_; }
  // Sender ("From:") of notification mail; empty until the agent answered.
  const std::string& getFilterMail() const { return filterMail_; }
  // The mail transfer agent in upper case, for the pre-update script.
  const std::string& getMta() const { return mta_; }
  // The run list in enterprise mode.
  const AppNameSet& getAgentRunAppList() const { return agentRunAppList_; }

 private:
  std::string adminMail_;
  std::string filterMail_;
  std::string mta_;
  AppNameSet agentRunAppList_;
};

#endif  // NORVAK_CONFIG_MONITOR_CONF_READER_H_
