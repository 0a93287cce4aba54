#ifndef NORVAK_MONITOR_APP_NAME_LESS_H_
#define NORVAK_MONITOR_APP_NAME_LESS_H_

#include <set>
#include <string>

// Application names are keys that users type in several places (command
// line, configuration, agent, *.mmc files) in whatever letter case they like,
// so every set or map of them orders by this comparison: case-insensitive over
// the common length, the shorter name first when that part is equal.
struct AppNameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// Case-insensitive equality of two application names.
bool appNameEqual(const std::string& a, const std::string& b);

typedef std::set<std::string, AppNameLess> AppNameSet;

#endif  // NORVAK_MONITOR_APP_NAME_LESS_H_
