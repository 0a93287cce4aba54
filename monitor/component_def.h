#ifndef NORVAK_MONITOR_COMPONENT_DEF_H_
#define NORVAK_MONITOR_COMPONENT_DEF_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "monitor/resource_limit.h"
#include "monitor/health_def.h"

// What the meta-configuration says about one component: a plain value,
// copied with its application and compared field by field when a reload
// brings a newer one.
struct ComponentDef {
  static const int kLogTypeLog = 1;
  static const int kLogTypeMail = 2;
  static const int kLogTypeCommand = 3;

  std::string name;
  std::string argv;
  std::string user;
  std::string group;
  int timeStart = 30;
  int timeStop = 30;
  int logType = kLogTypeMail;
  std::string cmd;
  bool agent = false;
  HealthDef health;  // checks beyond the process being alive

  // How the process is set up, beyond its identity. A change takes effect
  // at the next start; the running process keeps what it started with.
  // Resource limits, one per resource.
  std::vector<ResourceLimit> limits;
  // Ceiling of the memory of the program and whatever it starts, in bytes,
  // kept by a cgroup of its own; 0 for none.
  uint64_t memoryMax = 0;
  // The program gets only a few variables of its own instead of the
  // monitor's whole environment.
  bool cleanEnvironment = false;
  // NAME=value, set on top of either; one per name.
  std::vector<std::string> environment;

  // user + ":" + group
  std::string permissions() const { return user + ":" + group; }
  // "LOG", "MAIL", or the command in double quotes.
  std::string logTypeText() const;
  // The configured user and group as ids, 0 where none is configured;
  // throws std::runtime_error naming an unknown one (left at its default
  // the identity would be root's).
  void resolveIdentity(uid_t& uid, gid_t& gid) const;
  // What would make a start from dir fail, found without starting anything:
  // an unknown user or group, an executable that is missing or that the
  // identity the program would run as may not execute. Empty when none.
  std::vector<std::string> startProblems(const std::string& dir) const;

  // Replace an earlier limit of the same resource, or variable of the same
  // name.
  void setLimit(const ResourceLimit& limit);
  void setVariable(const std::string& assignment);
  // Takes over the process settings above; true when any differed.
  bool takeProcessSettings(const ComponentDef& other);
};

#endif  // NORVAK_MONITOR_COMPONENT_DEF_H_
