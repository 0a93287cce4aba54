#ifndef NORVAK_MONITOR_AGENT_PORT_H_
#define NORVAK_MONITOR_AGENT_PORT_H_

#include <functional>
#include <string>

#include "config/monitor_conf_reader.h"

class Application;

// The configuration agent as the monitor sees it. The side that talks to
// the agent lives above the model and implements this; a monitor without
// one runs without an agent. Everything here is called on the loop's thread
// and returns without waiting for the agent, except read(), which the start
// uses before the loop runs.
class AgentPort {
 public:
  typedef std::function<void(const MonitorConfReader::AgentValues&)> ValuesTaker;

  virtual ~AgentPort() = default;

  // Where the agent listens and how many seconds an exchange may take, for
  // the sessions made from now on.
  virtual void configure(const std::string& address, int responseTimeSeconds) = 0;
  // From now on starts and stops are told to the agent (not in check runs,
  // whose components do not stay).
  virtual void beginNotices() = 0;
  // Connects unless connected ("error conect to agent" when it cannot) and
  // reads the agent's values into settings, blocking.
  virtual void read(MonitorConfReader& settings, bool maildDefined) = 0;
  // Connects afresh and reads the values on the copy, off the loop; take
  // gets them on the loop. A later call's read replaces one not yet begun.
  virtual void readAfresh(MonitorConfReader copy, bool maildDefined, ValuesTaker take) = 0;
  // An application other than the agent's own started or stopped.
  virtual void appStarted(const Application& app) = 0;
  virtual void appStopped(const Application& app) = 0;
  // The agent's application is up again: notices waiting for it go now.
  virtual void agentBack() = 0;
  // Before the monitor goes: exchanges under way fail at once and the
  // threads end.
  virtual void close() = 0;
};

#endif  // NORVAK_MONITOR_AGENT_PORT_H_
