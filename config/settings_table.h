#ifndef NORVAK_CONFIG_SETTINGS_TABLE_H_
#define NORVAK_CONFIG_SETTINGS_TABLE_H_

#include <list>
#include <string>
#include <variant>
#include <vector>

#include "config/file_settings.h"
#include "frame/app_name_less.h"

class conf_store_t;

// Every key of the monitor's configuration file, in the order a reload reads
// them ([Logging] first: it sets up the log the others report into). The
// reader, the unknown-key warning and the test that holds
// examples/monitor.conf and its manual page to these keys, defaults and
// ranges all go by this one list: a new key is one row here, a member of
// FileSettings and an entry of the sample.
class SettingsTable {
 public:
  enum class Kind {
    kText,
    kLevel,  // a log level word; another word gives the default
    kPath,   // a directory: "/" is appended unless empty
    kYesNo,
    kNumber,      // an integer from min to max
    kList,        // comma-separated texts
    kNumberList,  // comma-separated integers
    kAppList,     // application names; an empty list stands for the default
  };

  enum class Presence {
    kMandatory,  // a missing key fails the reload, even if it has a default
    kWarned,     // a missing key gives the default with a warning
    kOptional,   // a missing key gives the default silently: files older
                 // than the key keep working without a word
  };

  using Member =
      std::variant<std::string FileSettings::*, bool FileSettings::*, int FileSettings::*,
                   std::list<std::string> FileSettings::*, std::vector<std::string> FileSettings::*,
                   std::vector<int> FileSettings::*, AppNameSet FileSettings::*>;

  struct Row {
    const char* section;
    const char* key;
    Kind kind;
    Presence presence;
    // The default as the warnings name it; for a mandatory key what an
    // empty value stands for (nullptr: it stays empty).
    const char* fallback;
    int min;
    int max;
    const char* description;
    Member member;

    // "/Section/Key", as messages name the key.
    std::string path() const;
  };

  static const std::vector<Row>& rows();

  // Every member at its default; a mandatory key without one stays empty.
  static FileSettings defaults();

  // Reads one key into `out` through the store's typed readers, with their
  // warnings. A missing mandatory key throws conf_store_exception_t.
  static void read(const Row& row, const conf_store_t& store, FileSettings& out);

  // The row of a key, letter case ignored; nullptr when the key is unknown.
  static const Row* find(const std::string& section, const std::string& key);

  // The known key an unknown one most likely stands for: one or two slips
  // away (a swap of neighbours is one), or the same name in another section,
  // or the same letters in another order; nullptr when none is that close.
  static const Row* closest(const std::string& section, const std::string& key);
};

#endif  // NORVAK_CONFIG_SETTINGS_TABLE_H_
