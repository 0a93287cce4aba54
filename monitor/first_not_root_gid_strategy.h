#ifndef NORVAK_MONITOR_FIRST_NOT_ROOT_GID_STRATEGY_H_
#define NORVAK_MONITOR_FIRST_NOT_ROOT_GID_STRATEGY_H_

#include <sys/types.h>

class Component;

// The group counterpart of FirstNotRootUIDStrategy.
class FirstNotRootGIDStrategy {
 public:
  // True (and gid() is set) once the component runs in a non-root group.
  // A component without group, or with an unknown group, does not count.
  bool check(const Component& comp);
  gid_t gid() const { return gid_; }

 private:
  gid_t gid_ = 0;
};

#endif  // NORVAK_MONITOR_FIRST_NOT_ROOT_GID_STRATEGY_H_
