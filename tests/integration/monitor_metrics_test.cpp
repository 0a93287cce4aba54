// The monitor's metrics on MetricsAddress, scraped as Prometheus would: a
// well-formed exposition that follows a restart, and a port that answers
// nothing but GET /metrics and refuses a head too large to be a request.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "ipc/nk_unique_fd.h"
#include "support/loopback_port.h"
#include "support/monitor_harness.h"

namespace {

using norvak_test::ConfValues;
using norvak_test::MonitorHarness;

// Sends request whole and answers what comes back until the server closes;
// the status line's code in *status (0 when none came).
std::string exchange(int port, const std::string& request, int* status) {
  norvak::base::UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  struct timeval tv = {20, 0};
  setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  *status = 0;
  if (connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return "";
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n = send(s.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string answer;
  char buf[65536];
  for (ssize_t n; (n = recv(s.get(), buf, sizeof buf, 0)) > 0;)
    answer.append(buf, static_cast<size_t>(n));
  if (answer.rfind("HTTP/1.1 ", 0) == 0) *status = std::stoi(answer.substr(9, 3));
  const size_t body = answer.find("\r\n\r\n");
  return body == std::string::npos ? "" : answer.substr(body + 4);
}

// The exposition format as far as a scraper relies on it: every line a HELP,
// a TYPE or a sample; a family's TYPE before its samples; no series twice.
// Answers the samples by series; a failure is recorded and stops the parse.
std::map<std::string, double> parseExposition(const std::string& text) {
  static const std::regex comment("# (HELP|TYPE) (norvak_[a-z_]+) (.+)");
  static const std::regex sample(
      "(norvak_[a-z_]+)(\\{[a-z]+=\"[^\"\\\\]*\"(,[a-z]+=\"[^\"\\\\]*\")*\\})? (-?[0-9.]+)");
  std::map<std::string, double> series;
  std::set<std::string> typed;
  std::istringstream in(text);
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (std::regex_match(line, m, comment)) {
      if (m[1] == "TYPE") {
        EXPECT_TRUE(typed.insert(m[2]).second) << "typed twice: " << line;
      }
      continue;
    }
    if (!std::regex_match(line, m, sample)) {
      ADD_FAILURE() << "not a sample: " << line;
      break;
    }
    EXPECT_TRUE(typed.count(m[1])) << "sample before its TYPE: " << line;
    EXPECT_TRUE(series.emplace(std::string(m[1]) + std::string(m[2]), std::stod(m[4])).second)
        << "twice: " << line;
  }
  return series;
}

TEST(MonitorMetrics, ScrapedSeriesFollowARestartAndThePortAnswersNothingElse) {
  MonitorHarness h;
  const int port = freePort();
  h.agentSuite({{"WEB", {"httpd"}}});
  std::string web = h.app("WEB", "AGENT", {{"httpd", "--notify-watchdog=200"}});
  web.insert(web.rfind("ENDAPPLICATION"), "WATCHDOG httpd 30\n");
  h.writeMeta("WEB.mmc", web);
  norvak_test::writeFile(h.confFile(), norvak_test::readFile(h.confFile()) +
                                           "MetricsAddress = 127.0.0.1:" + std::to_string(port) +
                                           "\n");
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const std::string get = "GET /metrics HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";
  const std::string httpd = "{app=\"WEB\",component=\"httpd\"}";
  int status = 0;

  // Published a moment after each change: scraped until it shows.
  std::map<std::string, double> m;
  auto scrapeUntil = [&](const std::string& series, double value) {
    for (int i = 0; i < 100; ++i) {
      m = parseExposition(exchange(port, get, &status));
      if (status != 200 || m[series] == value) return;
      norvak_test::sleepMs(100);
    }
  };
  const std::string watchdog = "{app=\"WEB\",component=\"httpd\",check=\"watchdog\"}";
  scrapeUntil("norvak_check_up" + watchdog, 1);
  scrapeUntil("norvak_component_up" + httpd, 1);
  EXPECT_EQ(200, status);
  EXPECT_EQ(1, m["norvak_check_up" + watchdog]);
  EXPECT_EQ(0, m["norvak_check_consecutive_failures" + watchdog]);
  EXPECT_EQ(1, m.count("norvak_check_last_result_timestamp_seconds" + watchdog));
  EXPECT_EQ(1, m["norvak_component_up" + httpd]);
  EXPECT_EQ(0, m["norvak_component_restarts_total" + httpd]);
  EXPECT_EQ(1, m.count("norvak_uptime_seconds"));
  EXPECT_EQ(1, m.count("norvak_management_requests_total{kind=\"status\"}"));
  EXPECT_EQ(1, m.count("norvak_management_requests_total{kind=\"reopen-logs\"}"));

  ASSERT_GT(h.restartMs("httpd"), 0);
  scrapeUntil("norvak_component_restarts_total" + httpd, 1);
  scrapeUntil("norvak_component_up" + httpd, 1);
  EXPECT_EQ(1, m["norvak_component_restarts_total" + httpd]);
  EXPECT_EQ(1, m.count("norvak_component_start_seconds" + httpd));
  const std::string signal = "{app=\"WEB\",component=\"httpd\",cause=\"signal\"}";
  EXPECT_EQ(1, m["norvak_component_faults_total" + signal]);
  EXPECT_EQ(1, m["norvak_component_up" + httpd]);
  EXPECT_EQ(0, m["norvak_component_given_up" + httpd]);

  // A head of 1 MB is refused at its first KiBs and the connection closed.
  exchange(port, "GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\nHost: t\r\n\r\n", &status);
  EXPECT_TRUE(status == 431 || status == 400) << status;
  exchange(port, "GET /other HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n", &status);
  EXPECT_EQ(404, status);
  exchange(port, "POST /metrics HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n", &status);
  EXPECT_EQ(405, status);
  EXPECT_FALSE(exchange(port, get, &status).empty());
  EXPECT_EQ(200, status);
}

}  // namespace
