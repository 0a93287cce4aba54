// What a Prometheus scrape of /metrics costs with a full suite: 500
// components in 50 applications, against the same scrape of a monitor of 5
// components running beside it. Each scrape is a fresh connection (connect,
// GET, read to the close), as a scraper without keep-alive makes it. The
// two monitors are scraped in turn, so that both see the same machine load.
//
//   metrics-scale [REPETITIONS]     (default 200)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "monitor_bench_support.h"

using namespace norvak_bench;

namespace {

int freePort() {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    fail("no free port");
  close(s);
  return ntohs(a.sin_port);
}

// A monitor of apps applications of perApp components, with its metrics on
// a loopback port.
class MetricsMonitor {
 public:
  MetricsMonitor(int apps, int perApp) : comps_(apps * perApp), port_(freePort()) {
    inst_.writeWideSuite(apps, perApp, "0");
    const std::string conf = inst_.root() + "/monitor.conf";
    writeFile(conf, readFile(conf) + "MetricsAddress = 127.0.0.1:" + std::to_string(port_) + "\n");
    inst_.startMonitor();
    if (!inst_.waitLog("Norvak (R) Components Monitor started", 600000))
      fail("monitor did not start");
    for (int i = 0; i < comps_; ++i)
      if (inst_.waitHupFile("c" + std::to_string(i), 30000) <= 0)
        fail("c" + std::to_string(i) + " did not start");
  }

  int components() const { return comps_; }

  // One scrape; answers the ms from connect to the server's close, the body
  // in out.
  double scrape(std::string& out) const {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const double t0 = nowMs();
    if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail("connect");
    const std::string get = "GET /metrics HTTP/1.1\r\nHost: b\r\nConnection: close\r\n\r\n";
    if (send(s, get.data(), get.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(get.size()))
      fail("send");
    std::string answer;
    char buf[65536];
    for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;)
      answer.append(buf, static_cast<size_t>(n));
    const double ms = nowMs() - t0;
    close(s);
    if (answer.rfind("HTTP/1.1 200", 0) != 0) fail("scrape answered: " + answer.substr(0, 200));
    out = answer.substr(answer.find("\r\n\r\n") + 4);
    return ms;
  }

 private:
  Installation inst_;
  int comps_;
  int port_;
};

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? atoi(argv[1]) : 200;
  if (reps <= 0) {
    fprintf(stderr, "usage: metrics-scale [REPETITIONS]\n");
    return 2;
  }
  MetricsMonitor big(50, 10);
  MetricsMonitor small(1, 5);

  std::string bigOut, smallOut;
  // Published a moment after the last start: wait until it shows them all.
  for (int i = 0; i < 100; ++i) {
    big.scrape(bigOut);
    if (countOf(bigOut, "norvak_component_up{") == 500 && countOf(bigOut, "} 1\n") >= 500) break;
    usleep(100000);
  }
  if (countOf(bigOut, "norvak_component_up{") != 500)
    fail("the scrape does not hold 500 components");

  std::vector<double> bigMs, smallMs;
  for (int i = 0; i < reps; ++i) {
    bigMs.push_back(big.scrape(bigOut));
    smallMs.push_back(small.scrape(smallOut));
  }
  const double bm = median(bigMs), bp = percentile(bigMs, 90);
  const double sm = median(smallMs), sp = percentile(smallMs, 90);
  printf("%d scrapes of each monitor, connect to close (ms)\n", reps);
  printf("  %9s %9s   %9s %9s   %7s %7s\n", "500 med", "500 p90", "5 med", "5 p90", "ratio",
         "p90 r.");
  printf("  %9.3f %9.3f   %9.3f %9.3f   %6.2fx %6.2fx\n", bm, bp, sm, sp, sm > 0 ? bm / sm : 0.0,
         sp > 0 ? bp / sp : 0.0);
  printf("body size (bytes): %zu for 500 components, %zu for 5; %.1f per component\n",
         bigOut.size(), smallOut.size(),
         static_cast<double>(bigOut.size() - smallOut.size()) / (big.components() - 5));
  printf("lines: %d for 500 components, %d for 5\n", countOf(bigOut, "\n"),
         countOf(smallOut, "\n"));
  return 0;
}
