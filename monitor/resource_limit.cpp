#include "monitor/resource_limit.h"

#include <cstring>
#include <limits>

namespace {

struct Resource {
  const char* name;
  int resource;
};

// What a component may want bounded; every system the monitor runs on
// knows these.
const Resource kResources[] = {
    {"AS", RLIMIT_AS},         {"CORE", RLIMIT_CORE},       {"CPU", RLIMIT_CPU},
    {"DATA", RLIMIT_DATA},     {"FSIZE", RLIMIT_FSIZE},     {"MEMLOCK", RLIMIT_MEMLOCK},
    {"NOFILE", RLIMIT_NOFILE}, {"NPROC", RLIMIT_NPROC},     {"STACK", RLIMIT_STACK},
};

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string amountText(rlim_t value) {
  return value == RLIM_INFINITY ? std::string("unlimited") : std::to_string(value);
}

}  // namespace

bool ResourceLimit::parseAmount(const std::string& text, bool unlimitedTaken, uint64_t& out) {
  const std::string word = upper(text);
  if (word == "UNLIMITED") {
    if (!unlimitedTaken) return false;
    out = static_cast<uint64_t>(RLIM_INFINITY);
    return true;
  }
  uint64_t value = 0;
  size_t i = 0;
  for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; ++i) {
    const uint64_t digit = static_cast<uint64_t>(word[i] - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
    value = value * 10 + digit;
  }
  if (i == 0) return false;
  uint64_t unit = 1;
  if (i + 1 == word.size()) {
    switch (word[i]) {
      case 'K':
        unit = 1ull << 10;
        break;
      case 'M':
        unit = 1ull << 20;
        break;
      case 'G':
        unit = 1ull << 30;
        break;
      default:
        return false;
    }
  } else if (i != word.size()) {
    return false;
  }
  if (value > std::numeric_limits<uint64_t>::max() / unit) return false;
  out = value * unit;
  // A finite amount must not read as "unlimited".
  return static_cast<rlim_t>(out) != RLIM_INFINITY &&
         static_cast<uint64_t>(static_cast<rlim_t>(out)) == out;
}

std::string ResourceLimit::parse(const std::string& name, const std::string& value,
                                 ResourceLimit& out) {
  const std::string key = upper(name);
  const Resource* found = nullptr;
  for (const Resource& r : kResources) {
    if (key == r.name) found = &r;
  }
  if (!found) return "unknown resource '" + name + "'";
  const size_t colon = value.find(':');
  const std::string softText = value.substr(0, colon);
  const std::string hardText = colon == std::string::npos ? softText : value.substr(colon + 1);
  uint64_t soft = 0, hard = 0;
  if (!parseAmount(softText, true, soft) || !parseAmount(hardText, true, hard))
    return "bad limit '" + value + "'";
  if (static_cast<rlim_t>(hard) != RLIM_INFINITY &&
      (static_cast<rlim_t>(soft) == RLIM_INFINITY || soft > hard))
    return "soft limit above hard limit in '" + value + "'";
  out.name = found->name;
  out.resource = found->resource;
  out.soft = static_cast<rlim_t>(soft);
  out.hard = static_cast<rlim_t>(hard);
  return std::string();
}

std::string ResourceLimit::text() const {
  std::string t = name + " " + amountText(soft);
  if (hard != soft) t += ":" + amountText(hard);
  return t;
}
