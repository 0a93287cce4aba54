#ifndef NORVAK_MONITOR_RESOURCE_LIMIT_H_
#define NORVAK_MONITOR_RESOURCE_LIMIT_H_

#include <sys/resource.h>

#include <cstdint>
#include <string>

// One resource limit of a component's program, as the meta-configuration
// writes it: a resource name (NOFILE, CORE, AS, NPROC...) and a value, the
// soft and hard limit alike or "soft:hard", each a number with an optional
// K, M or G (times 1024, 1024^2, 1024^3) or "unlimited".
struct ResourceLimit {
  std::string name;  // upper case, as in the table of resources
  int resource = 0;  // RLIMIT_*
  rlim_t soft = 0;
  rlim_t hard = 0;

  // Empty when the text is good, else what is wrong with it.
  static std::string parse(const std::string& name, const std::string& value,
                           ResourceLimit& out);
  // A single amount: digits with an optional K, M or G; "unlimited" only
  // when the caller takes it (then RLIM_INFINITY). False when bad or too big.
  static bool parseAmount(const std::string& text, bool unlimitedTaken, uint64_t& out);
  // "NOFILE 64:128", "CORE unlimited" (soft and hard alike shown once).
  std::string text() const;

  bool operator==(const ResourceLimit& o) const {
    return resource == o.resource && soft == o.soft && hard == o.hard;
  }
  bool operator!=(const ResourceLimit& o) const { return !(*this == o); }
};

#endif  // NORVAK_MONITOR_RESOURCE_LIMIT_H_
