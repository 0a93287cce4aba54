#ifndef NORVAK_TESTS_SUPPORT_RECORDING_REGENERATOR_H_
#define NORVAK_TESTS_SUPPORT_RECORDING_REGENERATOR_H_

#include <string>
#include <vector>

#include "monitor/application.h"
#include "monitor/regenerator.h"

// Stands in for the monitor: records application starts and stops in order.
class RecordingRegenerator : public Regenerator {
 public:
  void appStarted(const Application& app) override { events.push_back("start " + app.name()); }
  void appStopped(const Application& app) override { events.push_back("stop " + app.name()); }
  std::vector<std::string> events;
};

#endif  // NORVAK_TESTS_SUPPORT_RECORDING_REGENERATOR_H_
