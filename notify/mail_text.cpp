#include "notify/mail_text.h"

#include <algorithm>

#include "frame/utils.h"
#include "notify/notify_info.h"

namespace {

std::string timeText(time_t t) {
  std::string s;
  Utils::timeToString(t, s);
  return s;
}

// faultTime + each of the first `count` restart offsets, as "%T" times
// separated by ", ".
std::string offsetTimes(time_t faultTime, const std::vector<int>& offsets, size_t first,
                        size_t count) {
  std::string out;
  const size_t end = std::min(offsets.size(), first + count);
  for (size_t i = first; i < end; ++i) {
    if (i > first) out += ", ";
    out += timeText(faultTime + offsets[i]);
  }
  return out;
}

std::string timesText(const std::vector<time_t>& times) {
  std::string out;
  for (size_t i = 0; i < times.size(); ++i) {
    if (i > 0) out += ", ";
    out += timeText(times[i]);
  }
  return out;
}

std::string dateLine() {
  std::string date;
  Utils::currentDate(date);
  return "Date: " + date + "\n";
}

std::string signature(const NotifyInfo::Identity& id) {
  return "\n---\nSincerely yours,\n" + id.title + "\n" + id.version + " for " + id.osName +
         "\nHost \"" + id.hostName + "\"";
}

std::string componentRef(const char* pidLabel, pid_t pid, const std::string& compName,
                         const std::string& appName, const std::string& dir) {
  return "Component \"" + compName + "\" (" + pidLabel + "=" + std::to_string(pid) +
         ", file=" + dir + compName + ") used in \"" + appName + "\"";
}

}  // namespace

std::string composeFailureMail(pid_t pid, const std::string& compName, time_t faultTime,
                               const std::string& appName, const std::string& dir,
                               const std::vector<std::string>& affectedApps,
                               const std::string& cause) {
  const NotifyInfo::Identity id = NotifyInfo::instance().identity();
  std::string mail = dateLine();
  mail += "Subject: ERROR: Component \"" + compName + "\" failed\n\n";
  mail += componentRef("pid", pid, compName, appName, dir) + " failed at " +
          timeText(faultTime) + "\n";
  if (!cause.empty()) mail += "Cause: " + cause + "; the monitor stopped it\n";
  if (!affectedApps.empty()) {
    mail += "This could affect operation of the following application(s): ";
    for (size_t i = 0; i < affectedApps.size(); ++i) {
      if (i > 0) mail += ", ";
      mail += "\"" + affectedApps[i] + "\"";
    }
    mail += "\n";
  }
  mail += "\n";
  const std::vector<int>& offsets = id.restartOffsets;
  if (!offsets.empty()) {
    mail += "Monitor has tried to restart \"" + compName + "\" at " +
            timeText(faultTime + offsets[0]) + "\n";
    if (offsets.size() > 1) {
      mail += "Further attempts to restart the module will made at: " +
              offsetTimes(faultTime, offsets, 1, offsets.size() - 1) +
              "\nOnce the component is restarted, you will be informed\n";
    }
  }
  mail += signature(id);
  return mail;
}

std::string composeRecoveryMail(pid_t pid, const std::string& compName, time_t now,
                                time_t faultTime, const std::vector<time_t>& abortive,
                                const std::string& appName, const std::string& dir) {
  const NotifyInfo::Identity id = NotifyInfo::instance().identity();
  std::string mail = dateLine();
  mail += "Subject: INFO: Component \"" + compName + "\" recovery\n\n";
  mail += componentRef("new pid", pid, compName, appName, dir) + " which failed at " +
          timeText(faultTime) + " be recovery at " + timeText(now) + "\n";
  if (!abortive.empty())
    mail += "Abortive attempts to recovery it were made at " + timesText(abortive) + "\n";
  mail += signature(id);
  return mail;
}

std::string composeCannotRecoverMail(pid_t pid, const std::string& compName, time_t faultTime,
                                     const std::vector<time_t>& attempts,
                                     const std::string& appName, const std::string& dir) {
  const NotifyInfo::Identity id = NotifyInfo::instance().identity();
  std::string mail = dateLine();
  mail += "Subject: ERROR: Component \"" + compName + "\" cannot recovery\n\n";
  mail += componentRef("new pid", pid, compName, appName, dir) + " which failed at " +
          timeText(faultTime) + " cannot be recovery\n";
  if (!attempts.empty())
    mail += "Abortive attempts to recovery it were made at " + timesText(attempts);
  mail += "\n";
  mail += signature(id);
  return mail;
}

// Not one of the suite's standard mails: the monitor's own word that the
// mails received were not all there was, in the same form as the others so
// that the same filters and mailboxes take it.
std::string composeHeldBackMail(const std::map<std::string, int>& heldBack, int limit,
                                time_t since) {
  int total = 0;
  std::string lines;
  for (const auto& held : heldBack) {
    total += held.second;
    lines += "Component \"" + held.first + "\": " + std::to_string(held.second) + "\n";
  }
  std::string mail = dateLine();
  mail += "Subject: WARNING: " + std::to_string(total) + " notification(s) held back\n\n";
  mail += "More than " + std::to_string(limit) + " notifications in the minute from " +
          timeText(since) + "; these were not sent:\n" + lines;
  mail += signature(NotifyInfo::instance().identity());
  return mail;
}

std::string reportedComponent(const std::string& report) {
  // Every report's Subject line names the component first; the name ends at
  // the line's last quote, so a quote inside it does not cut it short.
  const std::string subject = "\nSubject: ";
  const std::string::size_type line = report.find(subject);
  if (line == std::string::npos) return "";
  const std::string::size_type end = report.find('\n', line + 1);
  const std::string text = report.substr(line + subject.size(), end - line - subject.size());
  const std::string open = "Component \"";
  const std::string::size_type first = text.find(open);
  const std::string::size_type last = text.rfind('"');
  if (first == std::string::npos || last < first + open.size()) return "";
  return text.substr(first + open.size(), last - first - open.size());
}
