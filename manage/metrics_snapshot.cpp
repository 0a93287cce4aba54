#include "manage/metrics_snapshot.h"

#include <chrono>
#include <cstdio>
#include <utility>

namespace {

// Names come from the *.mmc files: a quote or a line break must not end the
// label, or the line, early.
std::string escaped(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string seconds(double value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", value < 0 ? 0.0 : value);
  return buf;
}

class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  void family(const char* name, const char* type, const char* help) {
    out_ += "# HELP norvak_";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE norvak_";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }

  // labels: already rendered, without braces; may be empty.
  void sample(const char* name, const std::string& labels, const std::string& value) {
    out_ += "norvak_";
    out_ += name;
    if (!labels.empty()) {
      out_ += '{';
      out_ += labels;
      out_ += '}';
    }
    out_ += ' ';
    out_ += value;
    out_ += '\n';
  }
  void sample(const char* name, const std::string& labels, uint64_t value) {
    sample(name, labels, std::to_string(value));
  }

 private:
  std::string& out_;
};

std::string componentLabels(const std::string& app, const std::string& comp) {
  return "app=\"" + escaped(app) + "\",component=\"" + escaped(comp) + "\"";
}

}  // namespace

const char* ManagementFigures::kindName(Kind kind) {
  static const char* const kNames[kKinds] = {"reload", "update",  "status", "start",
                                             "stop",   "restart", "logs",   "reopen-logs"};
  return kNames[kind];
}

MetricsSnapshot::MetricsSnapshot(SuiteFigures suite, ManagementFigures management)
    : suite_(std::move(suite)), management_(management) {}

std::string MetricsSnapshot::render(Clock::MonoTime now) const {
  auto age = [now](Clock::MonoTime since) {
    return seconds(std::chrono::duration<double>(now - since).count());
  };
  std::string out;
  out.reserve(1024 * suite_.components.size() + 4096);
  Writer w(out);
  std::vector<std::string> labels;
  labels.reserve(suite_.components.size());
  for (const SuiteFigures::Component& c : suite_.components)
    labels.push_back(componentLabels(c.app, c.name));
  const size_t n = suite_.components.size();

  w.family("component_up", "gauge",
           "Whether the component runs (1: answered its start, not stopped since).");
  for (size_t i = 0; i < n; ++i)
    w.sample("component_up", labels[i], suite_.components[i].up ? 1 : 0);
  w.family("component_restarts_total", "counter",
           "Restarts of the component begun since the monitor started.");
  for (size_t i = 0; i < n; ++i)
    w.sample("component_restarts_total", labels[i], suite_.components[i].restarts);
  w.family("component_faults_total", "counter",
           "Failures of the component by cause: signal, exit (unasked), check, watchdog.");
  for (size_t i = 0; i < n; ++i) {
    for (size_t cause = 0; cause < kFaultCauses; ++cause) {
      w.sample("component_faults_total",
               labels[i] + ",cause=\"" + faultCauseName(static_cast<FaultCause>(cause)) + "\"",
               suite_.components[i].faults[cause]);
    }
  }
  w.family("component_given_up", "gauge",
           "Whether the monitor gave up restarting the component (1) until it next starts.");
  for (size_t i = 0; i < n; ++i)
    w.sample("component_given_up", labels[i], suite_.components[i].givenUp ? 1 : 0);
  w.family("component_start_seconds", "gauge",
           "Seconds from spawn to answer of the component's last good start.");
  for (size_t i = 0; i < n; ++i) {
    if (suite_.components[i].startSeconds >= 0)
      w.sample("component_start_seconds", labels[i], seconds(suite_.components[i].startSeconds));
  }
  w.family("component_seconds_since_change", "gauge",
           "Seconds since the component last started, stopped, failed or was given up.");
  for (size_t i = 0; i < n; ++i)
    w.sample("component_seconds_since_change", labels[i], age(suite_.components[i].changedAt));

  // The health checks' results, once they report any.
  if (!suite_.checks.empty()) {
    std::vector<std::string> checkLabels;
    for (const SuiteFigures::Check& c : suite_.checks)
      checkLabels.push_back(componentLabels(c.app, c.component) + ",check=\"" + escaped(c.check) +
                            "\"");
    const size_t m = suite_.checks.size();
    w.family("check_up", "gauge",
             "Whether the health check's last run passed (the watchdog: was fed in time).");
    for (size_t i = 0; i < m; ++i)
      w.sample("check_up", checkLabels[i], suite_.checks[i].ok ? 1 : 0);
    w.family("check_consecutive_failures", "gauge", "Failed runs of the health check in a row.");
    for (size_t i = 0; i < m; ++i)
      w.sample("check_consecutive_failures", checkLabels[i], suite_.checks[i].failures);
    w.family("check_last_result_timestamp_seconds", "gauge",
             "Unix time of the health check's last result; absent before the first.");
    for (size_t i = 0; i < m; ++i)
      if (!suite_.checks[i].pending)
        w.sample("check_last_result_timestamp_seconds", checkLabels[i],
                 static_cast<uint64_t>(suite_.checks[i].time));
  }

  w.family("uptime_seconds", "gauge", "Seconds since the monitor started.");
  w.sample("uptime_seconds", "", age(suite_.startedAt));
  w.family("reloads_total", "counter",
           "Reloads of the configuration (SIGHUP or a full reload request).");
  w.sample("reloads_total", "", suite_.reloads);
  w.family("reload_errors_total", "counter",
           "Reloads refused because the configuration did not load.");
  w.sample("reload_errors_total", "", suite_.reloadErrors);
  w.family("mails_sent_total", "counter", "Notifications (mails, commands) handed to delivery.");
  w.sample("mails_sent_total", "", suite_.mailsSent);
  w.family("mails_held_back_total", "counter", "Notifications held back by MailsPerMinute.");
  w.sample("mails_held_back_total", "", suite_.mailsHeldBack);
  w.family("mails_dropped_total", "counter",
           "Notifications pushed out of the full delivery queue.");
  w.sample("mails_dropped_total", "", suite_.mailsDropped);
  w.family("management_requests_total", "counter", "Management requests served, by kind.");
  for (size_t k = 0; k < ManagementFigures::kKinds; ++k) {
    w.sample("management_requests_total",
             std::string("kind=\"") +
                 ManagementFigures::kindName(static_cast<ManagementFigures::Kind>(k)) + "\"",
             management_.requests[k]);
  }
  w.family("management_refusals_total", "counter", "Management connections and requests refused.");
  w.sample("management_refusals_total", "", management_.refusals);
  return out;
}
