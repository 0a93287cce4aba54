#include "monitor/component_environment.h"

#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include "frame/spawn.h"
#include "monitor/component_def.h"

const char* const ComponentEnvironment::kDefaultPath =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

namespace {

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

// The reentrant lookup: other threads of the monitor look users up too.
// Empty name: the effective user.
bool findUser(const std::string& name, std::string& user, std::string& home) {
  std::vector<char> buf(4096);
  for (;;) {
    struct passwd pw;
    struct passwd* result = nullptr;
    const int err = name.empty()
                        ? getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &result)
                        : getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &result);
    if (err == EINTR) continue;
    if (err == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (err != 0 || !result) return false;
    user = pw.pw_name ? pw.pw_name : "";
    home = pw.pw_dir ? pw.pw_dir : "";
    return true;
  }
}

}  // namespace

bool ComponentEnvironment::validName(const std::string& name) {
  if (name.empty() || !isLetter(name[0])) return false;
  for (char c : name) {
    if (!isLetter(c) && !(c >= '0' && c <= '9')) return false;
  }
  return true;
}

bool ComponentEnvironment::validAssignment(const std::string& assignment) {
  const size_t eq = assignment.find('=');
  return eq != std::string::npos && validName(assignment.substr(0, eq)) &&
         assignment.find('\0') == std::string::npos;
}

std::vector<std::string> ComponentEnvironment::cleanBase(const std::string& user) {
  std::vector<std::string> env{std::string("PATH=") + kDefaultPath};
  const char* lang = getenv("LANG");
  env.push_back(std::string("LANG=") + (lang && *lang ? lang : "C"));
  // Without them many programs look for their files in the wrong place, or
  // in the monitor's home.
  std::string name, home;
  if (findUser(user, name, home)) {
    env.push_back("HOME=" + home);
    env.push_back("USER=" + name);
    env.push_back("LOGNAME=" + name);
  }
  return env;
}

void ComponentEnvironment::apply(const ComponentDef& def, SpawnPlan& plan) {
  if (def.cleanEnvironment) {
    plan.replaceEnvironment = true;
    plan.environment = cleanBase(def.user);
  }
  // Set on top of either, before the monitor's own additions: the spawn
  // keeps the last of a name, so those win.
  plan.extraEnvironment.insert(plan.extraEnvironment.begin(), def.environment.begin(),
                               def.environment.end());
}
