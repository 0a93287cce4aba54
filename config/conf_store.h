#ifndef NORVAK_CONFIG_CONF_STORE_H_
#define NORVAK_CONFIG_CONF_STORE_H_

#include <list>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

// Every failure of the store and of its readers. A logic error: a missing or
// malformed setting is a fault of the file, not of the running system.
class conf_store_exception_t : public std::logic_error {
 public:
  explicit conf_store_exception_t(const std::string& what) : std::logic_error(what) {}
};

// The values of one configuration file: section -> key -> value, names kept
// as written. Look-ups go by a path "/Section/Key" and ignore letter case.
//
// The typed readers with a default never throw: a missing or bad value is
// logged at the alert level, marks the check error and yields the default,
// so that a check run can report every bad setting in one go.
class conf_store_t {
 public:
  typedef std::map<std::string, std::string> keys_t;
  typedef std::map<std::string, keys_t> sections_t;

  // Stores a value under "section/key" (or "key" for the unsectioned part).
  // A key given again is appended after a comma to the value it already has.
  // `line` is where the key was first written, for messages about it.
  void set(const std::string& fullName, const std::string& value, int line = 0);

  const sections_t& sections() const { return sections_; }
  // The line a key (as written) was first given on; 0 when not known.
  int lineOf(const std::string& section, const std::string& key) const;
  // Whether the key is present at all, letter case ignored; reads of
  // optional settings use it to stay silent about their absence.
  bool has(const std::string& path) const;
  bool empty() const { return sections_.empty(); }

  // The raw value; throws "undefined parameter ..." when missing.
  std::string getValue(const std::string& path) const;

  std::string getString(const std::string& path, const std::string& def) const;

  // The comma-separated pieces, trimmed, empty ones dropped; `out` is replaced.
  // A missing key throws: these settings have no default.
  void getList(const std::string& path, std::list<std::string>& out) const;
  void getList(const std::string& path, std::vector<std::string>& out) const;
  // Pieces that are not numbers are read by their leading digits (0 without
  // any), with a warning.
  void getIntList(const std::string& path, std::vector<int>& out) const;

  int getIntInRange(const std::string& path, int min, int max, int def) const;
  bool getBoolOr(const std::string& path, bool def) const;
  // The value with a "/" appended; an empty value stays empty.
  std::string getPathOr(const std::string& path, const std::string& def) const;

  // Splits a path into at most a section and a key (section empty for one
  // piece); throws "path is large" or "error path name".
  static void splitPath(const std::string& path, std::string& section, std::string& key);

 private:
  const std::string* find(const std::string& path) const;

  sections_t sections_;
  std::map<std::string, std::map<std::string, int>> lines_;
};

#endif  // NORVAK_CONFIG_CONF_STORE_H_
