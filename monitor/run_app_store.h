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

  explicit RunAppStore(bool updateMode);
  ~RunAppStore() override;

  // Reads every "*.mmc" file of dir (listing order). Throws
  // StartAppConfig::LexerError for a file that cannot be opened, a runtime
  // error for an unreadable directory or a file with errors; the store is
  // then to be discarded.
  void load(const std::string& dir);
  bool contains(const std::string& name) const { return isDefined(name); }

  // Unknown names, unknown dependencies, then cycles reachable from the run
  // set; throws VerifyError with the first problem found.
  void verify(const AppNameSet& runSet) const;
  bool verifyRunApp(const AppNameSet& runSet, std::string& message) const;
  bool verifyDepends(std::string& message) const;
  bool verifyInterdeps(const AppNameSet& runSet, std::string& message) const;
  // Whether a dependency of name (or of what it depends on) leads back into
  // path; message then names the loop.
  bool hasCycle(const std::string& name, const AppNameSet& path, std::string& message) const;

  // Makes this (running) store describe what newStore describes: removes,
  // reconfigures and adds applications, then applies the run set.
  void update(const RunAppStore& newStore, const AppNameSet& runSet);

  // The store's start operations with this store's retry delays.
  using AppStore::applyRunAppSet;
  using AppStore::start;
  void start(const AppNameSet& names, const std::string& agentAddress,
             const std::string& pidFileDir);
  void applyRunAppSet(const AppNameSet& names);

  // Delays between start tries of a component; empty unless configured.
  const std::vector<int>& retryDelays() const { return retryDelays_; }
  void setRetryDelays(const std::vector<int>& delays) { retryDelays_ = delays; }

 private:
  bool hasCycle(const std::string& name, const AppNameSet& path, std::string& message,
                AppNameSet& acyclic) const;

  std::vector<int> retryDelays_;
};

#endif  // NORVAK_CONFIG_RUN_APP_STORE_H_
