#ifndef NORVAK_AGENT_AGENT_SIDE_H_
#define NORVAK_AGENT_AGENT_SIDE_H_

#include <functional>
#include <memory>
#include <string>

#include "agent/agent_link.h"
#include "agent/agent_notifier.h"
#include "agent/agent_reader.h"
#include "monitor/agent_port.h"

// The monitor's side of the configuration agent: the session (AgentLink),
// the thread that tells the agent about starts and stops (AgentNotifier) and
// the one that reads its values after a reload (AgentReader). It reaches the
// loop only through the inbox it is given.
class AgentSide : public AgentPort {
 public:
  typedef std::function<void(std::function<void()>)> Inbox;

  explicit AgentSide(Inbox inbox);
  ~AgentSide() override;

  void configure(const std::string& address, int responseTimeSeconds) override;
  void beginNotices() override;
  void read(MonitorConfReader& settings, bool maildDefined) override;
  void readAfresh(MonitorConfReader copy, bool maildDefined, ValuesTaker take) override;
  void appStarted(const Application& app) override;
  void appStopped(const Application& app) override;
  void agentBack() override;
  void close() override;

 private:
  Inbox inbox_;
  // The link before the threads that use it: they go first.
  AgentLink link_;
  std::unique_ptr<AgentNotifier> notifier_;
  AgentReader reader_;
};

#endif  // NORVAK_AGENT_AGENT_SIDE_H_
