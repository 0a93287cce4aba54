// libFuzzer target for the *.mmc reader: any byte string must parse to an
// answer without crashing, hanging or reading out of bounds, and whatever
// it yields must keep the invariants that the store relies on.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "frame/app_name_less.h"
#include "frame/log.h"
#include "monitor/application.h"
#include "monitor/component.h"
#include "monitor/start_app_config.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Thousands of errors a second must not reach syslog.
  initLog("syslog", "quiet", "quiet", "daemon", false, false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::vector<std::shared_ptr<Application>> apps;
  StartAppConfig config(in, "fuzz.mmc");
  config.parse([&apps](const std::shared_ptr<Application>& app) {
    for (const auto& a : apps) {
      if (appNameEqual(a->name(), app->name())) return false;
    }
    apps.push_back(app);
    return true;
  });
  for (const auto& app : apps) {
    if (app->name().size() > StartAppLexer::kMaxText) abort();
    if (!app->path().empty() && app->path().back() != '/') abort();
    for (const Component& comp : app->components()) {
      if (comp.timeStart() < 0 || comp.timeStop() < 0) abort();
      if (comp.logType() < 1 || comp.logType() > 3) abort();
      if (comp.user().find(':') != std::string::npos) abort();
      if (comp.group().find(':') != std::string::npos) abort();
    }
  }
  return 0;
}
