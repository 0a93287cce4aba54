#ifndef NORVAK_TESTS_INTEGRATION_SUPPORT_AGENT_SUITE_H_
#define NORVAK_TESTS_INTEGRATION_SUPPORT_AGENT_SUITE_H_

#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "monitor_harness.h"
#include "wait_util.h"

namespace norvak_test {

// The fake configuration agent in a MonitorHarness installation: its
// application block, its data file and what it recorded. The agent listens
// on the address the harness's configuration names (runDir() + ".agent").
class AgentSuite {
 public:
  static constexpr const char* kFakeAgent = NORVAK_BIN_DIR "/tools/fake-agent";

  explicit AgentSuite(MonitorHarness& h) : h_(h) { writeData(""); }

  std::string address() const { return "local:" + h_.runDir() + ".agent"; }
  std::string dataFile() const { return h_.root() + "/agent.data"; }
  std::string recordFile() const { return h_.root() + "/agent.record"; }
  void writeData(const std::string& text) const { writeFile(dataFile(), text); }

  // Links fake-agent as dir/name (relative to the root).
  void link(const std::string& name, const std::string& dir = "bin") const {
    h_.addComponent(name, dir);  // makes the directory
    const std::string path = h_.root() + "/" + dir + "/" + name;
    unlink(path.c_str());
    if (symlink(kFakeAgent, path.c_str()) != 0) throw std::runtime_error("symlink " + path);
  }

  // The AGENT application, its one component "agent" a fake-agent; extra
  // words go after the agent's own.
  std::string agentApp(const std::string& extra = "", int startTimeout = 5) const {
    link("agent");
    return "APPLICATION AGENT\n  PATH \"" + h_.binDir() + "\"\n  COMPONENTS\n    agent \"--listen " +
           address() + " --data " + dataFile() + " --record " + recordFile() +
           (extra.empty() ? "" : " " + extra) + "\" " + std::to_string(startTimeout) +
           " 3 LOG -\n  ENDCOMPONENTS\nENDAPPLICATION\n";
  }

  // The recorded lines of one kind ("Config", "StartApp", ...), split at
  // the tabs, the kind left out.
  std::vector<std::vector<std::string>> records(const std::string& kind) const {
    std::vector<std::vector<std::string>> out;
    for (const std::string& line : fileLines(recordFile())) {
      // Empty fields count, the last one too.
      std::vector<std::string> fields;
      for (size_t start = 0;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
      }
      if (!fields.empty() && fields[0] == kind) {
        fields.erase(fields.begin());
        out.push_back(fields);
      }
    }
    return out;
  }
  // Waits until at least n records of the kind are there.
  bool waitRecords(const std::string& kind, size_t n, int timeoutSec = 30) const {
    return waitUntil([&] { return records(kind).size() >= n; }, timeoutSec);
  }
  // Index of the first record line of the kind at or after `from`, -1 if none.
  int recordIndex(const std::string& kind, size_t from = 0) const {
    const std::vector<std::string> lines = fileLines(recordFile());
    for (size_t i = from; i < lines.size(); ++i)
      if (lines[i].compare(0, kind.size() + 1, kind + "\t") == 0) return static_cast<int>(i);
    return -1;
  }

 private:
  MonitorHarness& h_;
};

// On a failed test, shows the end of the monitor's log and what the agent
// recorded: the installation is gone by the time anyone looks.
class ShowOnFailure {
 public:
  ShowOnFailure(MonitorHarness& h, const AgentSuite& agent) : h_(h), agent_(agent) {}
  ~ShowOnFailure() {
    if (!::testing::Test::HasFailure()) return;
    const std::vector<std::string> log = fileLines(h_.logFile());
    std::string text;
    for (size_t i = log.size() > 60 ? log.size() - 60 : 0; i < log.size(); ++i) text += log[i] + "\n";
    ADD_FAILURE() << "monitor log (end):\n" << text << "agent record:\n"
                  << readFile(agent_.recordFile());
  }

 private:
  MonitorHarness& h_;
  const AgentSuite& agent_;
};

}  // namespace norvak_test

#endif  // NORVAK_TESTS_INTEGRATION_SUPPORT_AGENT_SUITE_H_
