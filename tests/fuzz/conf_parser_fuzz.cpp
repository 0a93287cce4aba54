// libFuzzer target for the configuration file reader: any byte string must
// parse without crashing, hanging or reading out of bounds, every stored
// setting must be reachable by its path, and every typed reader must cope
// with whatever value came out.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <sstream>
#include <string>
#include <vector>

#include "config/conf_parser.h"
#include "config/conf_store.h"
#include "frame/log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Thousands of warnings a second must not reach syslog.
  initLog("syslog", "quiet", "quiet", "daemon", false, false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  conf_store_t store;
  conf_parser_t parser(in, "fuzz.conf");
  parser.parse(store);
  for (const auto& section : store.sections()) {
    if (section.first.find('/') != std::string::npos) abort();
    for (const auto& key : section.second) {
      if (key.first.find('/') != std::string::npos) abort();
      // A name such as "/" in a section leaves an empty key: stored, but no
      // path reaches it.
      if (key.first.empty()) continue;
      std::string path = "/" + section.first + "/" + key.first;
      try {
        store.getValue(path);
      } catch (const conf_store_exception_t&) {
        abort();
      }
      std::list<std::string> list;
      store.getList(path, list);
      for (const auto& item : list) {
        if (item.empty() || item.find(',') != std::string::npos) abort();
      }
      std::vector<int> ints;
      store.getIntList(path, ints);
      if (ints.size() != list.size()) abort();
      int n = store.getIntInRange(path, -5, 5, 0);
      if (n < -5 || n > 5) abort();
      store.getBoolOr(path, true);
      std::string dir = store.getPathOr(path, "/d");
      if (!dir.empty() && dir.back() != '/') abort();
    }
  }
  return 0;
}
