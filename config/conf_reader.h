#ifndef NORVAK_CONFIG_CONF_READER_H_
#define NORVAK_CONFIG_CONF_READER_H_

#include <list>
#include <string>
#include <vector>

#include "config/file_settings.h"
#include "frame/app_name_less.h"

// The monitor's settings from its configuration file, the keys of
// SettingsTable. reload() reads the whole file again, re-initialises logging
// from it and replaces every setting at once; a missing or bad value with a
// default falls back to it with a warning, a missing mandatory key throws
// conf_store_exception_t and leaves the settings of the previous reload in
// place.
class ConfReader {
 public:
  explicit ConfReader(const std::string& confFile);
  virtual ~ConfReader();

  virtual void reload();

  const std::string& getConfFile() const { return confFile_; }
  // Every value the file gave, by the members SettingsTable fills.
  const FileSettings& fileSettings() const { return s_; }

  // "syslog", or the name of the log file.
  const std::string& getLogType() const { return s_.logType; }
  const std::string& getLogLevel() const { return s_.logLevel; }
  const std::string& getIpcLogLevel() const { return s_.ipcLogLevel; }
  const std::string& getSyslogFacility() const { return s_.syslogFacility; }

  bool isRunForeground() const { return s_.runForeground; }
  // Seconds the main loop waits for component events per turn.
  int getMainLoopWait() const { return s_.mainLoopWait; }
  // Ends in "/" unless configured empty.
  const std::string& getPidFileDir() const { return s_.pidFileDir; }
  const std::string& getUser() const { return s_.user; }
  const std::string& getGroup() const { return s_.group; }
  // Empty: keep the working directory.
  const std::string& getChDir() const { return s_.chDir; }
  const std::string& getMetaConfigDir() const { return s_.metaConfigDir; }
  // Seconds allowed for each request to the configuration agent.
  int getAgentResponseTime() const { return s_.agentResponseTime; }
  // The addresses the management server listens on; may be empty.
  const std::list<std::string>& getAddressList() const { return s_.addressList; }
  // Seconds allowed for each management session.
  int getTimeout() const { return s_.timeout; }
  // Management connections open at once, and the group whose members may
  // ask what root may (empty: none).
  int getMaxConnections() const { return s_.maxConnections; }
  const std::string& getAdminGroup() const { return s_.adminGroup; }
  const std::string& getInjectCmd() const { return s_.injectCmd; }
  // Notifications (mails, commands) sent a minute at most, in all.
  int getMailsPerMinute() const { return s_.mailsPerMinute; }
  // The agent's address: the first of the configured ones; empty when the
  // suite runs without an agent (hasAgent() false).
  const std::string& getAgentAddress() const {
    static const std::string kNone;
    return s_.agentAddressList.empty() ? kNone : s_.agentAddressList.front();
  }
  bool hasAgent() const { return !s_.agentAddressList.empty(); }
  const std::vector<std::string>& getAgentAddressList() const { return s_.agentAddressList; }
  const AppNameSet& getRunAppList() const { return s_.runAppList; }
  bool isEnterpriseMode() const { return s_.enterpriseMode; }
  // Seconds before each restart try of a failed component.
  const std::vector<int>& getRecoveryTimeList() const { return s_.recoveryTimeList; }
  // Seconds a restarted component has to stay up before its recovery ends
  // the try sequence; a fault sooner goes on with the next try.
  int getStableTime() const { return s_.stableTime; }
  // The mail addresses of the file (optional, empty when not given): the
  // agent's, when it supplies them, take precedence.
  const std::string& getFileAdminMail() const { return s_.adminMail; }
  const std::string& getFileFilterMail() const { return s_.filterMail; }
  // host:port ([v6]:port) of the metrics server; empty: none.
  const std::string& getMetricsAddress() const { return s_.metricsAddress; }

  // Splits "host:port" or "[v6 address]:port"; false unless both parts are
  // there and the port is a number from 1 to 65535.
  static bool splitHostPort(const std::string& address, std::string& host, unsigned& port);

 private:
  std::string confFile_;
  FileSettings s_;
};

#endif  // NORVAK_CONFIG_CONF_READER_H_
