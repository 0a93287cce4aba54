// The cgroup logic against a directory standing in for the cgroup2 mount:
// plain files take the place of the kernel's interface files.

#include "monitor/cgroup_tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "file_util.h"
#include "temp_dir.h"

namespace {

TEST(CgroupTreeTest, DelegatedCgroupHandsMemoryDownAndOnlyOwnDirectoriesGo) {
  EXPECT_EQ(CgroupTree::ownPath("4:memory:/m\n0::/system.slice/norvak.service\n"),
            "/system.slice/norvak.service");
  EXPECT_EQ(CgroupTree::ownPath("4:memory:/m\n"), "");

  TempDir root;
  const std::string base = root.path() + "/svc";
  ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
  std::string why;
  EXPECT_FALSE(CgroupTree(root.path(), "/").prepare(1, why));
  EXPECT_EQ(why, "the monitor runs in the root cgroup, which is not delegated to it");
  EXPECT_FALSE(CgroupTree(root.path(), "/svc").prepare(1, why));
  EXPECT_EQ(why.find("cannot read " + base + "/cgroup.controllers"), 0u) << why;
  writeFile(base + "/cgroup.controllers", "cpu io pids\n");
  EXPECT_FALSE(CgroupTree(root.path(), "/svc").prepare(1, why));
  EXPECT_EQ(why, "the memory controller is not available in " + base);

  // Started again from the leaf of an earlier run: the same cgroup.
  writeFile(base + "/cgroup.controllers", "cpu memory pids\n");
  writeFile(base + "/cgroup.subtree_control", "");
  auto tree = std::make_shared<CgroupTree>(root.path(), "/svc/monitor/");
  ASSERT_TRUE(tree->prepare(4242, why)) << why;
  EXPECT_EQ(tree->base(), base);
  EXPECT_EQ(readFile(base + "/monitor/cgroup.procs"), "4242");
  EXPECT_EQ(readFile(base + "/cgroup.subtree_control"), "+memory");

  // What an earlier run left is passed over and kept; what a name holds
  // that could walk the tree is replaced.
  ASSERT_EQ(mkdir((base + "/comp.scan_ner.1").c_str(), 0755), 0);
  auto unlinkFiles = [](const std::string& dir) {
    unlink((dir + "/memory.max").c_str());
    unlink((dir + "/cgroup.procs").c_str());
  };
  std::string busy;
  {
    auto lease = tree->place("scan/ner", 512 << 20);
    EXPECT_EQ(lease->path(), base + "/comp.scan_ner.2");
    EXPECT_EQ(readFile(lease->path() + "/memory.max"), "536870912");
    EXPECT_GE(lease->procsFd(), 0);
    // The kernel's files never keep a cgroup from going; these would.
    unlinkFiles(lease->path());
    busy = tree->place("..", 1)->path();  // still busy when its lease goes
  }
  EXPECT_FALSE(pathExists(base + "/comp.scan_ner.2"));
  EXPECT_TRUE(pathExists(base + "/comp.scan_ner.1"));
  EXPECT_EQ(busy, base + "/comp.__.3");
  EXPECT_TRUE(pathExists(busy));
  // Tried again with the next placement.
  unlinkFiles(busy);
  auto next = tree->place("x", 1);
  EXPECT_FALSE(pathExists(busy));
  unlinkFiles(next->path());
}

}  // namespace
