#ifndef NORVAK_MONITOR_COMPONENT_ENVIRONMENT_H_
#define NORVAK_MONITOR_COMPONENT_ENVIRONMENT_H_

#include <string>
#include <vector>

struct ComponentDef;
struct SpawnPlan;

// The environment a component's program starts with. A component that asks
// for nothing gets the monitor's own, untouched. One with variables of its
// own gets them on top of that. One with a clean environment gets only
//   PATH    kDefaultPath (a variable of its own may replace it)
//   LANG    the monitor's LANG, else "C"
//   HOME, USER, LOGNAME   of the user the program runs as
// and its own variables. What the monitor hands every program (the plan's
// extra variables) comes on top in every case.
class ComponentEnvironment {
 public:
  static const char* const kDefaultPath;

  // A portable variable name: a letter or '_', then letters, digits, '_'.
  static bool validName(const std::string& name);
  // NAME=value with a valid NAME; the value is taken as it is.
  static bool validAssignment(const std::string& assignment);

  // The clean base for a program that runs as user (empty: as the
  // monitor's own user).
  static std::vector<std::string> cleanBase(const std::string& user);
  // Sets the environment of the plan from the definition.
  static void apply(const ComponentDef& def, SpawnPlan& plan);
};

#endif  // NORVAK_MONITOR_COMPONENT_ENVIRONMENT_H_
