#include "monitor/component_def.h"

#include <unistd.h>

#include <stdexcept>

#include "frame/utils.h"

std::string ComponentDef::logTypeText() const {
  switch (logType) {
    case kLogTypeLog:
      return "LOG";
    case kLogTypeMail:
      return "MAIL";
    default:
      return "\"" + cmd + "\"";
  }
}

void ComponentDef::resolveIdentity(uid_t& uid, gid_t& gid) const {
  uid = 0;
  gid = 0;
  if (!user.empty()) {
    try {
      uid = Utils::getUid(user);
    } catch (const std::exception& e) {
      throw std::runtime_error("unknown user \"" + user + "\": " + e.what());
    }
  }
  if (!group.empty()) {
    try {
      gid = Utils::getGid(group);
    } catch (const std::exception& e) {
      throw std::runtime_error("unknown group \"" + group + "\": " + e.what());
    }
  }
}

std::vector<std::string> ComponentDef::startProblems(const std::string& dir) const {
  uid_t uid = 0;
  gid_t gid = 0;
  try {
    resolveIdentity(uid, gid);
  } catch (const std::exception& e) {
    return {e.what()};
  }
  // As the spawn does it: 0 or our own id keeps ours; root switching keeps
  // no supplementary group, otherwise ours go along.
  const bool switches = (uid != 0 && uid != getuid()) || (gid != 0 && gid != getgid());
  if (uid == 0) uid = getuid();
  if (gid == 0) gid = getgid();
  std::vector<gid_t> groups{gid};
  if (!(switches && geteuid() == 0)) {
    const int n = getgroups(0, nullptr);
    if (n > 0) {
      std::vector<gid_t> more(static_cast<size_t>(n));
      const int got = getgroups(n, more.data());
      if (got > 0) groups.insert(groups.end(), more.begin(), more.begin() + got);
    }
  }
  std::vector<std::string> problems;
  auto check = [&](const std::string& what, const std::string& path) {
    std::string why = Utils::execProblem(path, uid, groups);
    if (why.empty()) return;
    if (why == "not executable" && !user.empty()) why += " for user \"" + user + "\"";
    problems.push_back(what + " \"" + path + "\" " + why);
  };
  check("executable", dir + name);
  // A check program that cannot run would fail the component over and over.
  if (health.kind == HealthDef::Kind::kExec) {
    std::vector<std::string> words;
    Utils::splitArgs("", health.command, words);
    if (words.size() > 1) check("health check program", words[1]);
  }
  return problems;
}

void ComponentDef::setLimit(const ResourceLimit& limit) {
  for (ResourceLimit& l : limits) {
    if (l.resource == limit.resource) {
      l = limit;
      return;
    }
  }
  limits.push_back(limit);
}

void ComponentDef::setVariable(const std::string& assignment) {
  const size_t n = assignment.find('=') + 1;
  for (std::string& e : environment) {
    if (n > 0 && e.compare(0, n, assignment, 0, n) == 0) {
      e = assignment;
      return;
    }
  }
  environment.push_back(assignment);
}

bool ComponentDef::takeProcessSettings(const ComponentDef& other) {
  const bool changed = limits != other.limits || memoryMax != other.memoryMax ||
                       cleanEnvironment != other.cleanEnvironment ||
                       environment != other.environment;
  limits = other.limits;
  memoryMax = other.memoryMax;
  cleanEnvironment = other.cleanEnvironment;
  environment = other.environment;
  return changed;
}
