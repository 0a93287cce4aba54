#include "config/conf_store.h"

#include <ctype.h>

#include <climits>

#include "frame/log.h"
#include "frame/run_mode.h"

namespace {

bool equalNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Bytes above ASCII count as graphic: in the C locale isgraph() refuses them,
// and trimming them would cut a UTF-8 character off the end of a name.
bool isListBlank(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u < 0x80 && !isgraph(u);
}

template <typename Seq>
void splitList(const std::string& value, Seq& out) {
  out.clear();
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    size_t b = start;
    size_t e = comma;
    while (b < e && isListBlank(value[b])) ++b;
    while (e > b && isListBlank(value[e - 1])) --e;
    if (e > b) out.push_back(value.substr(b, e - b));
    start = comma + 1;
  }
}

// atoi() without its undefined behaviour on overflow: values beyond the
// 32-bit range are held at its ends instead of wrapping.
int toIntSaturated(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && isspace(static_cast<unsigned char>(s[i]))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  long long n = 0;
  for (; i < s.size() && isdigit(static_cast<unsigned char>(s[i])); ++i) {
    if (n <= static_cast<long long>(INT_MAX) + 1) n = n * 10 + (s[i] - '0');
  }
  if (negative) n = -n;
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

// An optional sign and at least one digit, nothing else (list pieces come
// trimmed).
bool isNumber(const std::string& s) {
  size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i) {
    if (!isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

void warn(const std::string& text) {
  logAlert(text);
  setCheckError();
}

}  // namespace

void conf_store_t::splitPath(const std::string& path, std::string& section, std::string& key) {
  std::vector<std::string> pieces;
  size_t start = (!path.empty() && path[0] == '/') ? 1 : 0;
  for (;;) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) {
      pieces.push_back(path.substr(start));
      break;
    }
    pieces.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  if (pieces.back().empty()) pieces.pop_back();
  if (pieces.size() > 2) throw conf_store_exception_t("path is large");
  if (pieces.empty()) throw conf_store_exception_t("error path name");
  if (pieces.size() == 2) {
    section = pieces[0];
    key = pieces[1];
  } else {
    section.clear();
    key = pieces[0];
  }
}

void conf_store_t::set(const std::string& fullName, const std::string& value, int line) {
  std::string section;
  std::string key;
  splitPath(fullName, section, key);
  lines_[section].emplace(key, line);
  std::string& stored = sections_[section][key];
  if (stored.empty()) {
    stored = value;
  } else {
    stored += ',';
    stored += value;
  }
}

const std::string* conf_store_t::find(const std::string& path) const {
  std::string section;
  std::string key;
  splitPath(path, section, key);
  for (const auto& s : sections_) {
    if (!equalNoCase(s.first, section)) continue;
    for (const auto& k : s.second) {
      if (equalNoCase(k.first, key)) return &k.second;
    }
  }
  return nullptr;
}

std::string conf_store_t::getValue(const std::string& path) const {
  const std::string* value = find(path);
  if (value == nullptr) {
    throw conf_store_exception_t("undefined parameter \"" + path + "\" in config file");
  }
  return *value;
}

int conf_store_t::lineOf(const std::string& section, const std::string& key) const {
  const auto s = lines_.find(section);
  if (s == lines_.end()) return 0;
  const auto k = s->second.find(key);
  return k == s->second.end() ? 0 : k->second;
}

bool conf_store_t::has(const std::string& path) const { return find(path) != nullptr; }

std::string conf_store_t::getString(const std::string& path, const std::string& def) const {
  try {
    return getValue(path);
  } catch (const conf_store_exception_t& e) {
    warn(std::string(e.what()) + ". Used value \"" + def + "\"");
    return def;
  }
}

void conf_store_t::getList(const std::string& path, std::list<std::string>& out) const {
  splitList(getValue(path), out);
}

void conf_store_t::getList(const std::string& path, std::vector<std::string>& out) const {
  splitList(getValue(path), out);
}

void conf_store_t::getIntList(const std::string& path, std::vector<int>& out) const {
  out.clear();
  std::vector<std::string> pieces;
  getList(path, pieces);
  for (const auto& p : pieces) {
    out.push_back(toIntSaturated(p));
    // Read as before (leading digits, else 0), but a typo such as "5m" must
    // not pass a check unnoticed: it silently means 5 seconds, or none.
    if (!isNumber(p)) {
      warn("wrong parameter \"" + path + "\": value \"" + p + "\" isn't number. Used value " +
           std::to_string(out.back()));
    }
  }
}

int conf_store_t::getIntInRange(const std::string& path, int min, int max, int def) const {
  try {
    std::string value = getValue(path);
    size_t i = (!value.empty() && value[0] == '-') ? 1 : 0;
    bool negative = i == 1;
    long long n = 0;
    for (; i < value.size(); ++i) {
      if (!isdigit(static_cast<unsigned char>(value[i]))) {
        throw conf_store_exception_t("value \"" + value + "\" isn't number");
      }
      // Past the 32-bit range the exact figure no longer matters: it fails
      // the interval check below instead of wrapping into it.
      if (n <= INT_MAX) n = n * 10 + (value[i] - '0');
    }
    if (negative) n = -n;
    if (n < min || n > max) {
      throw conf_store_exception_t("parameter must be inside the interval [ " +
                                   std::to_string(min) + ", " + std::to_string(max) + " ]");
    }
    return static_cast<int>(n);
  } catch (const conf_store_exception_t& e) {
    warn("wrong parameter \"" + path + "\": " + e.what() + ". Used default value " +
         std::to_string(def));
    return def;
  }
}

bool conf_store_t::getBoolOr(const std::string& path, bool def) const {
  try {
    std::string value = getValue(path);
    if (equalNoCase(value, "yes")) return true;
    if (equalNoCase(value, "no")) return false;
    throw conf_store_exception_t("parameter \"" + path + "\" must be \"yes\" or \"no\"");
  } catch (const conf_store_exception_t& e) {
    warn(std::string(e.what()) + ". Used value \"" + (def ? "yes" : "no") + "\"");
    return def;
  }
}

std::string conf_store_t::getPathOr(const std::string& path, const std::string& def) const {
  std::string value;
  try {
    value = getValue(path);
  } catch (const conf_store_exception_t& e) {
    warn(std::string(e.what()) + ". Used value \"" + def + "\"");
    value = def;
  }
  // An empty value means "here" to whoever joins a file name to it; turning
  // it into "/" would silently point at the root directory instead.
  if (!value.empty() && value.back() != '/') value += '/';
  return value;
}
