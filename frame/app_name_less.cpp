#include "frame/app_name_less.h"

#include <strings.h>

#include <algorithm>

bool AppNameLess::operator()(const std::string& a, const std::string& b) const {
  const size_t common = std::min(a.size(), b.size());
  const int c = strncasecmp(a.c_str(), b.c_str(), common);
  if (c != 0) return c < 0;
  return a.size() < b.size();
}

bool appNameEqual(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}
