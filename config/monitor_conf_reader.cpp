#include "config/monitor_conf_reader.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <vector>

#include "frame/log.h"
#include "frame/run_mode.h"
#include "frame/utils.h"
#include "ipc/nk_deadline.h"
#include "ipc/nk_if_client_session.h"
#include "ipc/nk_timeout.h"
#include "notify/notify_info.h"
#include "protocols/nk_config_client.h"

using norvak::ipc::NkIfClientSession;
using norvak::maild::NkConfigClient;

namespace {

bool keyIs(const std::string& key, const char* name) {
  return strcasecmp(key.c_str(), name) == 0;
}

// One configuration exchange with the agent, within the response time. A
// failure throws std::runtime_error naming the data that was asked for.
NkConfigClient::Results askAgent(NkIfClientSession& session, unsigned number, int seconds,
                                 const char* what) {
  try {
    NkConfigClient client(number, kProgramName);
    const norvak::base::NkDeadline deadline(
        norvak::base::NkTimeout::Seconds(static_cast<uint32_t>(seconds)));
    if (!session.Execute(&client, deadline)) {
      throw std::runtime_error("the exchange was broken off");
    }
    return client.GetResults();
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("cannot read ") + what + " data from norvak-agent: " +
                             e.what());
  }
}

void warnDefaultMail(const std::string& value, const char* name, const std::string& def) {
  if (!value.empty()) return;
  logAlert(std::string("parameter \"") + name +
           "\" from maild configuration not defined, use default value \"" + def + "\"");
}

}  // namespace

MonitorConfReader::MonitorConfReader(const std::string& confFile) : ConfReader(confFile) {}

MonitorConfReader::~MonitorConfReader() {}

std::string MonitorConfReader::mailAddress(const std::string& agents,
                                           const std::string& files) const {
  if (!agents.empty()) return agents;
  if (!files.empty()) return files;
  return agent_.mailAnswered || !hasAgent() ? localSuperuserMailbox() : std::string();
}

void MonitorConfReader::readConfigFromAgent(NkIfClientSession* session, bool maildDefined) {
  logDebug("MonitorConfReader::readConfigFromAgent()");
  if (session == nullptr) {
    logError("agent session is not created");
    return;
  }
  if (maildDefined) {
    try {
      readMaildConfigFromAgent(*session);
    } catch (const std::exception& e) {
      logError(e.what());
      return;
    }
  }
  if (isEnterpriseMode()) {
    try {
      readMonitorConfigFromAgent(*session);
    } catch (const std::exception& e) {
      logError(e.what());
    }
  }
}

void MonitorConfReader::readMaildConfigFromAgent(NkIfClientSession& session) {
  logDebug("MonitorConfReader::readMaildConfigFromAgent( baseDir )");
  const NkConfigClient::Results answer =
      askAgent(session, kMaildRequest, getAgentResponseTime(), "maild");
  std::string admin;
  std::string filter;
  std::string mta;
  for (const auto& pair : answer) {
    if (keyIs(pair.first, "notifier/adminmail")) {
      admin = pair.second;
    } else if (keyIs(pair.first, "notifier/filtermail")) {
      filter = pair.second;
    } else if (keyIs(pair.first, "monitor/mta")) {
      mta = pair.second;
      std::transform(mta.begin(), mta.end(), mta.begin(),
                     [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    }
  }
  agent_.adminMail = admin;
  agent_.filterMail = filter;
  agent_.mta = mta;
  agent_.mailAnswered = true;
  warnDefaultMail(admin, "/Notifier/AdminMail", getAdminMail());
  warnDefaultMail(filter, "/Notifier/FilterMail", getFilterMail());
}

void MonitorConfReader::readMonitorConfigFromAgent(NkIfClientSession& session) {
  logDebug("MonitorConfReader::readMonitorConfigFromAgent( baseDir )");
  const NkConfigClient::Results answer =
      askAgent(session, kMonitorRequest, getAgentResponseTime(), "monitor");
  std::string text;
  for (const auto& pair : answer) {
    if (keyIs(pair.first, "monitor/runapplist")) {
      text = pair.second;
    } else {
      logAlert("unknown parameter: " + pair.first + " = " + pair.second);
    }
  }
  // Names as the agent wrote them: unlike the file's list, blanks around
  // them are kept.
  AppNameSet list;
  if (text.empty()) {
    list.insert("AGENT");
  } else {
    std::vector<std::string> names;
    Utils::splitBy(text, ",", names);
    list.insert(names.begin(), names.end());
  }
  agent_.runAppList = list;
  logDebug("agent sent run app list: " + text);
}
