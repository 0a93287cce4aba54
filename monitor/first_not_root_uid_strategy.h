#ifndef NORVAK_MONITOR_FIRST_NOT_ROOT_UID_STRATEGY_H_
#define NORVAK_MONITOR_FIRST_NOT_ROOT_UID_STRATEGY_H_

#include <sys/types.h>

class Component;

// Looks, one component at a time, for the first that runs as a user other
// than root: the monitor hands its log file to that user before it gives up
// its own root rights, so that the file stays writable after the switch.
class FirstNotRootUIDStrategy {
 public:
  // True (and uid() is set) once the component runs as a non-root user.
  // A component without user, or with a user the system does not know,
  // does not count.
  bool check(const Component& comp);
  uid_t uid() const { return uid_; }

 private:
  uid_t uid_ = 0;
};

#endif  // NORVAK_MONITOR_FIRST_NOT_ROOT_UID_STRATEGY_H_
