#ifndef NORVAK_TESTS_SUPPORT_RECORDING_REGENERATOR_H_
#define NORVAK_TESTS_SUPPORT_RECORDING_REGENERATOR_H_

#include <string>
#include <vector>

#include "monitor/application.h"
#include "monitor/regenerator.h"

// Stands in for the monitor: records application starts and stops in order
// and counts the regeneration requests.
class RecordingRegenerator : public Regenerator {
 public:
  bool regenerate(const AppNameSet&) override {
    ++regenerated;
    return false;
  }
  void appStarted(const Application& app) override { events.push_back("start " + app.name()); }
  void appStopped(const Application& app) override { events.push_back("stop " + app.name()); }
  std::vector<std::string> events;
  int regenerated = 0;
};

#endif  // NORVAK_TESTS_SUPPORT_RECORDING_REGENERATOR_H_
