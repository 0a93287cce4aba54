#ifndef NORVAK_MONITOR_LOG_INFORMER_H_
#define NORVAK_MONITOR_LOG_INFORMER_H_

#include <string>

#include "notify/informer.h"

// Writes the report into the monitor's own log at the info level.
class LogInformer : public Informer {
 public:
  bool inform(const std::string& text) override;
  int type() const override { return LOG; }
};

#endif  // NORVAK_MONITOR_LOG_INFORMER_H_
