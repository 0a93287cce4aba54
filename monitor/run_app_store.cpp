#include "monitor/run_app_store.h"

#include <ctype.h>

#include <memory>
#include <unordered_map>

#include "frame/log.h"
#include "frame/utils.h"
#include "monitor/application.h"
#include "monitor/start_app_config.h"

RunAppStore::RunAppStore(bool updateMode) : AppStore(updateMode) {}

RunAppStore::~RunAppStore() {}

void RunAppStore::load(const std::string& dir) {
  std::string prefix = dir;
  if (!prefix.empty() && prefix[prefix.size() - 1] != '/') prefix += '/';
  std::vector<std::string> files;
  Utils::listFiles(prefix, ".mmc", files);
  for (const std::string& path : files) {
    logDebug("parse monitor meta config file \"" + path + "\"");
    StartAppConfig conf(path);
    if (!conf.parse(*this))
      throw FileError("error in *.mmc file \"" + path + "\"", conf.firstError());
  }
}

namespace {

// Position in the list by name. Names fold to lower case the way
// AppNameLess and appNameEqual compare them. The checks take lists held
// outside any store, and the cycle search marks applications by position.
typedef std::unordered_map<std::string, size_t> NameIndex;

std::string folded(const std::string& name) {
  std::string key(name);
  for (char& c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return key;
}

NameIndex nameIndex(const AppStore::AppList& apps) {
  NameIndex index;
  index.reserve(apps.size());
  for (size_t i = 0; i < apps.size(); ++i) index.emplace(folded(apps[i]->name()), i);
  return index;
}

// One application on the path of the cycle search.
struct Frame {
  size_t app;
  AppNameSet::const_iterator next;  // the dependency to look at next
  const std::string* via;           // the name that led here, as written there
};

// The text has always listed the names on the path below the run-set name
// in name order, then the dependency that closes the loop; a loop back to
// the run-set name itself was only seen one step later, at the run-set
// name's own dependency on that path. Whoever reads the log knows it so.
std::string cycleText(const std::vector<Frame>& path, const std::string& dep, bool toRoot) {
  AppNameSet names;
  for (size_t i = 1; i < path.size(); ++i) names.insert(*path[i].via);
  std::string closing = dep;
  if (toRoot) {
    names.insert(dep);
    if (path.size() > 1) closing = *path[1].via;
  }
  std::string text = "interdependence: ";
  for (const std::string& name : names) text += name + " -> ";
  return text + closing;
}

bool runSetKnown(const NameIndex& index, const AppNameSet& runSet, std::string& message) {
  logDebug("RunAppStore::verifyRunApp()");
  for (const std::string& name : runSet) {
    if (!index.count(folded(name))) {
      message = "cannot find application \"" + name + "\" in *.mmc files";
      return false;
    }
  }
  return true;
}

bool dependsKnown(const AppStore::AppList& apps, const NameIndex& index, std::string& message) {
  for (const AppStore::AppPtr& app : apps) {
    for (const std::string& dep : app->dependencies()) {
      if (!index.count(folded(dep))) {
        message = "application \"" + app->name() + "\", unknown depends \"" + dep + "\"";
        return false;
      }
    }
  }
  return true;
}

bool noInterdeps(const AppStore::AppList& apps, const NameIndex& index, const AppNameSet& runSet,
                 std::string& message) {
  logDebug("RunAppStore::verifyInterdeps() ");
  // One depth-first walk over everything reachable from the run set, with
  // its own stack: a chain as deep as the store is long must neither copy
  // the path at every level nor recurse once per level. Grey applications
  // are on the current path, black ones are known to reach no cycle.
  enum Colour : unsigned char { kWhite, kGrey, kBlack };
  std::vector<Colour> colour(apps.size(), kWhite);
  std::vector<Frame> path;
  for (const std::string& name : runSet) {
    logDebug("RunAppStore::verifyInterdeps() check");
    auto root = index.find(folded(name));
    if (root == index.end() || colour[root->second] == kBlack) continue;
    colour[root->second] = kGrey;
    path.push_back({root->second, apps[root->second]->dependencies().begin(), &name});
    while (!path.empty()) {
      Frame& top = path.back();
      if (top.next == apps[top.app]->dependencies().end()) {
        colour[top.app] = kBlack;
        path.pop_back();
        continue;
      }
      const std::string& dep = *top.next++;
      auto found = index.find(folded(dep));
      // Unknown dependencies are dependsKnown()'s to report.
      if (found == index.end() || colour[found->second] == kBlack) continue;
      if (colour[found->second] == kGrey) {
        message = cycleText(path, dep, found->second == path.front().app);
        return false;
      }
      colour[found->second] = kGrey;
      path.push_back({found->second, apps[found->second]->dependencies().begin(), &dep});
    }
  }
  return true;
}

}  // namespace

void RunAppStore::verify(const AppNameSet& runSet) const { verify(applications(), runSet); }

void RunAppStore::verify(const AppList& apps, const AppNameSet& runSet) {
  const NameIndex index = nameIndex(apps);
  std::string message;
  if (!runSetKnown(index, runSet, message) || !dependsKnown(apps, index, message) ||
      !noInterdeps(apps, index, runSet, message))
    throw VerifyError(message);
}

std::vector<std::string> RunAppStore::update(const RunAppStore& newStore,
                                             const AppNameSet& runSet) {
  logDebug("monitor meta conf:");
  debugDump();

  AppNameSet oldApps;
  AppNameSet newApps;
  AppNameSet immutableApps;
  for (const AppPtr& app : applications())
    (newStore.contains(app->name()) ? immutableApps : oldApps).insert(app->name());
  for (const AppPtr& app : newStore.applications())
    if (!contains(app->name())) newApps.insert(app->name());

  for (const std::string& name : oldApps) logInfo("oldApps: " + name);
  for (const std::string& name : newApps) logInfo("newApps: " + name);
  for (const std::string& name : immutableApps) logInfo("immutableApps: " + name);

  std::vector<std::string> changes;
  for (const std::string& name : oldApps) {
    remove(name);
    changes.push_back("application \"" + name + "\" removed");
  }
  std::vector<std::string> restart;
  for (const std::string& name : immutableApps) {
    AppPtr mine = find(name);
    AppPtr theirs = newStore.find(name);
    if (!mine || !theirs) continue;
    mine->reconfig(*theirs);
    std::string notes;
    for (const std::string& note : mine->reconfigNotes())
      notes += (notes.empty() ? "" : "; ") + note;
    if (!notes.empty())
      changes.push_back("application \"" + mine->name() + "\" reconfigured: " + notes);
    // New components of a running application; a stopped one is brought
    // back by the run set below if it belongs there.
    if (mine->needsStart() && mine->isRunning()) restart.push_back(mine->name());
  }
  for (const std::string& name : newApps) {
    AppPtr theirs = newStore.find(name);
    if (!theirs) continue;
    add(std::make_shared<Application>(*theirs));
    changes.push_back("application \"" + theirs->name() + "\" added");
  }

  rebuildDependents();
  planStart(restart, false);
  applyRunAppSet(runSet);
  return changes;
}
