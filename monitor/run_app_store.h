#ifndef NORVAK_CONFIG_RUN_APP_STORE_H_
#define NORVAK_CONFIG_RUN_APP_STORE_H_

#include <stdexcept>
#include <string>
#include <vector>

#include "frame/app_name_less.h"
#include "monitor/app_store.h"

// The application store as loaded from the meta-configuration directory:
// adds the load itself, the check of a run set before anything starts, and
// the take-over of freshly loaded definitions at reload.
class RunAppStore : public AppStore {
 public:
  class VerifyError : public std::runtime_error {
   public:
    explicit VerifyError(const std::string& what) : std::runtime_error(what) {}
  };
  // A file with errors; detail is the first of them, with file and line.
  class FileError : public std::runtime_error {
   public:
    FileError(const std::string& what, const std::string& detail)
        : std::runtime_error(what), detail_(detail) {}
    const std::string& detail() const { return detail_; }

   private:
    std::string detail_;
  };

  explicit RunAppStore(bool updateMode);
  ~RunAppStore() override;

  // Reads every "*.mmc" file of dir (listing order). Throws
  // StartAppConfig::LexerError for a file that cannot be read or is not a
  // regular file (a FIFO among them fails the load, as an unreadable file
  // does), a runtime error for an unreadable directory, FileError for a
  // file with errors; the store is then to be discarded.
  void load(const std::string& dir);
  bool contains(const std::string& name) const { return isDefined(name); }

  // Unknown names, unknown dependencies, then cycles reachable from the run
  // set; throws VerifyError with the first problem found. Reads nothing but
  // the definitions of this store: a store just loaded, never started, is
  // checked on its own this way before update() takes it over. Time and
  // memory grow linearly with applications and dependencies, and the depth
  // of a chain costs no stack.
  void verify(const AppNameSet& runSet) const;
  // The same checks on definitions held outside any store (names unique, as
  // add() keeps them).
  static void verify(const AppList& apps, const AppNameSet& runSet);

  // Makes this (running) store describe what newStore describes: removes,
  // reconfigures and adds applications, then applies the run set. Answers
  // what changed, one line for each application, as the administrator is
  // told.
  std::vector<std::string> update(const RunAppStore& newStore, const AppNameSet& runSet);
};

#endif  // NORVAK_CONFIG_RUN_APP_STORE_H_
