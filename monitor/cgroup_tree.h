#ifndef NORVAK_MONITOR_CGROUP_TREE_H_
#define NORVAK_MONITOR_CGROUP_TREE_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ipc/nk_unique_fd.h"

// Memory ceilings of components, kept by cgroup v2. The cgroup the monitor
// runs in, when it is delegated to it (writable, with the memory controller
// available), becomes the parent of one cgroup per process of a component
// with a ceiling: "comp.<name>.<n>" with its memory.max. A cgroup that hands
// controllers down may hold no process itself, so the monitor first moves
// into a leaf of its own, "monitor", beside them.
//
// A component cgroup lives as long as its Lease: created before the spawn,
// entered by the child before its exec, and removed (whatever is left in it
// killed first) once the process has been reaped. Only directories created
// here are ever removed; one still busy is tried again later.
class CgroupTree : public std::enable_shared_from_this<CgroupTree> {
 public:
  class Lease {
   public:
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    const std::string& path() const { return path_; }
    // The cgroup's "cgroup.procs", open for writing (SpawnPlan::cgroupProcsFd).
    int procsFd() const { return procs_.get(); }

   private:
    friend class CgroupTree;
    Lease(std::shared_ptr<CgroupTree> tree, std::string path, norvak::base::UniqueFd procs);
    std::shared_ptr<CgroupTree> tree_;
    std::string path_;
    norvak::base::UniqueFd procs_;
  };

  static const char* const kLeaf;

  // mountRoot: where the cgroup2 file system is mounted; own: the cgroup of
  // the process as /proc/self/cgroup names it ("/a/b").
  CgroupTree(std::string mountRoot, std::string own);
  ~CgroupTree();
  CgroupTree(const CgroupTree&) = delete;
  CgroupTree& operator=(const CgroupTree&) = delete;

  // The cgroup v2 path of a /proc/self/cgroup text ("0::/a/b"); empty when
  // it has none.
  static std::string ownPath(const std::string& procSelfCgroup);
  // This process's tree, prepared; null, with the reason, when there is
  // none to use.
  static std::shared_ptr<CgroupTree> forThisProcess(std::string& why);

  // Readies the delegated cgroup to hand memory down, moving the process
  // self into the leaf when need be. False, with the reason, when it cannot.
  bool prepare(pid_t self, std::string& why);
  // The delegated cgroup (valid after prepare).
  const std::string& base() const { return base_; }

  // A cgroup of its own for one process of the component name, with bytes
  // as memory.max; throws std::runtime_error with the reason.
  std::unique_ptr<Lease> place(const std::string& name, uint64_t bytes);

  // The tree the components' starts use; null when ceilings are not kept.
  static std::shared_ptr<CgroupTree> shared();
  static void share(std::shared_ptr<CgroupTree> tree);

 private:
  // Kills what is left inside, then removes the directory; keeps it for a
  // later try when it is still busy.
  void remove(const std::string& path);
  bool tryRemove(const std::string& path);
  void retryPending();

  std::string root_;
  std::string own_;
  std::string base_;
  std::mutex mutex_;
  std::vector<std::string> pending_;
  unsigned next_ = 0;
};

#endif  // NORVAK_MONITOR_CGROUP_TREE_H_
