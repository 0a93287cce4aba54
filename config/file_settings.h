#ifndef NORVAK_CONFIG_FILE_SETTINGS_H_
#define NORVAK_CONFIG_FILE_SETTINGS_H_

#include <list>
#include <string>
#include <vector>

#include "frame/app_name_less.h"

// The values the configuration file gives the monitor. SettingsTable names
// the key of each member, gives its default and fills it; ConfReader hands
// the values out.
struct FileSettings {
  std::string logType;
  std::string logLevel;
  std::string ipcLogLevel;
  std::string syslogFacility;
  bool runForeground = false;
  // Not a key: the main loop waits one second per turn whatever the file says.
  int mainLoopWait = 1;
  std::string pidFileDir;
  std::string user;
  std::string group;
  std::string chDir;
  std::string metaConfigDir;
  int agentResponseTime = 0;
  std::list<std::string> addressList;
  int timeout = 0;
  int maxConnections = 0;
  std::string adminGroup;
  std::string injectCmd;
  int mailsPerMinute = 0;
  int stableTime = 0;
  std::vector<std::string> agentAddressList;
  AppNameSet runAppList;
  bool enterpriseMode = false;
  std::vector<int> recoveryTimeList;
  std::string adminMail;
  std::string filterMail;
  std::string metricsAddress;
};

#endif  // NORVAK_CONFIG_FILE_SETTINGS_H_
