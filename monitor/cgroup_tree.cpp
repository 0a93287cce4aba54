#include "monitor/cgroup_tree.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <sstream>
#include <stdexcept>

using norvak::base::UniqueFd;

const char* const CgroupTree::kLeaf = "monitor";

namespace {

// cgroup2's magic number, as statfs reports it.
const long kCgroup2Magic = 0x63677270;
// Interface files are short; /proc/self/cgroup lists one line per hierarchy.
const size_t kMaxRead = 64 * 1024;

std::mutex g_sharedMutex;
std::shared_ptr<CgroupTree> g_shared;

bool readSmall(const std::string& path, std::string& text) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  text.clear();
  char buf[4096];
  while (text.size() < kMaxRead) {
    const ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return true;
}

// Writes the whole text in one call, as the interface files want it. The
// file is created only where it is not an interface file of the kernel's
// (which always exists): a directory standing in for a cgroup.
bool writeSmall(const std::string& path, const std::string& text, bool create = true) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC | (create ? O_CREAT : 0), 0644));
  if (!fd) return false;
  ssize_t n;
  do {
    n = write(fd.get(), text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(text.size());
}

bool listsWord(const std::string& text, const std::string& word) {
  std::istringstream in(text);
  std::string w;
  while (in >> w) {
    if (w == word) return true;
  }
  return false;
}

// What may appear in a directory name of ours: nothing that walks the tree.
std::string safeName(const std::string& name) {
  std::string out;
  for (char c : name.substr(0, 64)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '-' || c == '_';
    out += plain ? c : '_';
  }
  return out;
}

std::string errnoText() { return strerror(errno); }

}  // namespace

CgroupTree::Lease::Lease(std::shared_ptr<CgroupTree> tree, std::string path, UniqueFd procs)
    : tree_(std::move(tree)), path_(std::move(path)), procs_(std::move(procs)) {}

CgroupTree::Lease::~Lease() {
  procs_.reset();
  tree_->remove(path_);
}

CgroupTree::CgroupTree(std::string mountRoot, std::string own)
    : root_(std::move(mountRoot)), own_(std::move(own)) {}

CgroupTree::~CgroupTree() { retryPending(); }

std::string CgroupTree::ownPath(const std::string& procSelfCgroup) {
  std::istringstream in(procSelfCgroup);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 3, "0::") == 0 && line.size() > 3 && line[3] == '/') return line.substr(3);
  }
  return std::string();
}

std::shared_ptr<CgroupTree> CgroupTree::forThisProcess(std::string& why) {
#if defined(__linux__)
  std::string text;
  if (!readSmall("/proc/self/cgroup", text)) {
    why = "cannot read /proc/self/cgroup: " + errnoText();
    return nullptr;
  }
  const std::string own = ownPath(text);
  if (own.empty()) {
    why = "the monitor is in no cgroup v2 hierarchy";
    return nullptr;
  }
  std::string root;
  for (const char* candidate : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
    struct statfs fs;
    if (statfs(candidate, &fs) == 0 && static_cast<long>(fs.f_type) == kCgroup2Magic) {
      root = candidate;
      break;
    }
  }
  if (root.empty()) {
    why = "no cgroup v2 file system is mounted at /sys/fs/cgroup";
    return nullptr;
  }
  auto tree = std::make_shared<CgroupTree>(root, own);
  if (!tree->prepare(getpid(), why)) return nullptr;
  return tree;
#else
  why = "cgroups are not available on this system";
  return nullptr;
#endif
}

bool CgroupTree::prepare(pid_t self, std::string& why) {
  std::string own = own_;
  while (!own.empty() && own.back() == '/') own.pop_back();
  // Started again from the leaf of an earlier run (an update): the cgroup
  // delegated to us is the one above it.
  const size_t slash = own.rfind('/');
  if (slash != std::string::npos && own.compare(slash + 1, std::string::npos, kLeaf) == 0)
    own.erase(slash);
  if (own.empty()) {
    why = "the monitor runs in the root cgroup, which is not delegated to it";
    return false;
  }
  base_ = root_ + own;
  std::string text;
  if (!readSmall(base_ + "/cgroup.controllers", text)) {
    why = "cannot read " + base_ + "/cgroup.controllers: " + errnoText();
    return false;
  }
  if (!listsWord(text, "memory")) {
    why = "the memory controller is not available in " + base_;
    return false;
  }
  const std::string subtree = base_ + "/cgroup.subtree_control";
  if (readSmall(subtree, text) && listsWord(text, "memory")) return true;
  if (access(subtree.c_str(), W_OK) != 0 || access(base_.c_str(), W_OK) != 0) {
    why = base_ + " is not delegated to the monitor (not writable)";
    return false;
  }
  const std::string leaf = base_ + "/" + kLeaf;
  if (mkdir(leaf.c_str(), 0755) != 0 && errno != EEXIST) {
    why = "cannot create " + leaf + ": " + errnoText();
    return false;
  }
  if (!writeSmall(leaf + "/cgroup.procs", std::to_string(self))) {
    why = "cannot move the monitor into " + leaf + ": " + errnoText();
    return false;
  }
  if (!writeSmall(subtree, "+memory")) {
    why = "cannot enable the memory controller in " + base_ + ": " + errnoText();
    return false;
  }
  return true;
}

std::unique_ptr<CgroupTree::Lease> CgroupTree::place(const std::string& name, uint64_t bytes) {
  retryPending();
  std::string path;
  for (int tries = 0;; ++tries) {
    unsigned n;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      n = ++next_;
    }
    path = base_ + "/comp." + safeName(name) + "." + std::to_string(n);
    if (mkdir(path.c_str(), 0755) == 0) break;
    // Left over from an earlier run of the monitor: not ours to remove.
    if (errno != EEXIST || tries >= 100)
      throw std::runtime_error("cannot create cgroup " + path + ": " + errnoText());
  }
  // From here on the directory is ours: the lease removes it on every path.
  std::unique_ptr<Lease> lease(new Lease(shared_from_this(), path, UniqueFd()));
  if (!writeSmall(path + "/memory.max", std::to_string(bytes)))
    throw std::runtime_error("cannot set " + path + "/memory.max: " + errnoText());
  lease->procs_.reset(open((path + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC | O_CREAT, 0644));
  if (!lease->procs_)
    throw std::runtime_error("cannot open " + path + "/cgroup.procs: " + errnoText());
  return lease;
}

void CgroupTree::remove(const std::string& path) {
  // Only a directory of ours, right below the delegated cgroup.
  const std::string prefix = base_ + "/comp.";
  if (path.compare(0, prefix.size(), prefix) != 0 ||
      path.find('/', prefix.size()) != std::string::npos)
    return;
  // Whatever the program left behind outside its process group would keep
  // the cgroup busy (the file exists from Linux 5.14 on).
  writeSmall(path + "/cgroup.kill", "1", false);
  if (tryRemove(path)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.push_back(path);
}

bool CgroupTree::tryRemove(const std::string& path) {
  return rmdir(path.c_str()) == 0 || errno == ENOENT;
}

void CgroupTree::retryPending() {
  std::vector<std::string> paths;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    paths.swap(pending_);
  }
  std::vector<std::string> left;
  for (const std::string& p : paths) {
    if (!tryRemove(p)) left.push_back(p);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.insert(pending_.end(), left.begin(), left.end());
}

std::shared_ptr<CgroupTree> CgroupTree::shared() {
  std::lock_guard<std::mutex> lock(g_sharedMutex);
  return g_shared;
}

void CgroupTree::share(std::shared_ptr<CgroupTree> tree) {
  std::lock_guard<std::mutex> lock(g_sharedMutex);
  g_shared = std::move(tree);
}
