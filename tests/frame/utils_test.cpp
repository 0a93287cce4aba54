#include "frame/utils.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "file_util.h"
#include "proc_util.h"
#include "temp_dir.h"
#include "thrown_text.h"

using norvak::base::UniqueFd;

namespace {

typedef std::vector<std::string> Strings;

// Runs fn in a forked child and returns what it wrote to the pipe.
template <typename Fn>
std::string inChild(Fn fn) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Utils::writeAll(fds[1], fn());
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, n);
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return out;
}

TEST(UtilsPidFileTest, ContentLockAndRemoval) {
  TempDir dir;
  const std::string path = dir.path() + "/norvak-monitor.pid";
  auto takeInChild = [&](pid_t pid) {
    return inChild([&] {
      return thrownText<Utils::error>([&] { UniqueFd fd = Utils::writePidFile(path, pid, {}); });
    });
  };
  {
    UniqueFd held = Utils::writePidFile(path, 4242, {"inet:1@h", "unix:/x"});
    ASSERT_TRUE(held.valid());
    // Reading the file opens and closes it in this process; the lock must
    // outlive that.
    EXPECT_EQ(readFile(path), "4242\ninet:1@h\nunix:/x\n");
    const std::string prefix = "unable to set lock for file \"" + path + "\": ";
    const std::string text = takeInChild(1);
    EXPECT_EQ(text.rfind(prefix, 0), 0u) << text;
    EXPECT_GT(text.size(), prefix.size());
    // The loser must not have truncated or rewritten the holder's file.
    EXPECT_EQ(readFile(path), "4242\ninet:1@h\nunix:/x\n");
  }

  // Once the holder lets go, another process takes the file over and the
  // old, longer content is truncated.
  EXPECT_EQ(takeInChild(77), "<nothing thrown>");
  EXPECT_EQ(readFile(path), "77\n");

  Utils::removePidFile(path);
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_EQ(thrownText<Utils::error>([&] { Utils::removePidFile(path); }),
            "error unlink pid file \"" + path + "\": " + strerror(ENOENT));
  EXPECT_EQ(thrownText<Utils::error>([&] {
              UniqueFd fd = Utils::writePidFile(dir.path() + "/no/such/dir.pid", 1, {});
            }).rfind("error in create pid file \"", 0),
            0u);
}

TEST(UtilsPidFileTest, LinksAndSpecialFilesAreLeftAlone) {
  TempDir dir;
  const std::string path = dir.path() + "/norvak-monitor.pid";
  const std::string victim = dir.path() + "/victim";
  const std::string prefix = "error in create pid file \"" + path + "\": ";
  auto refusal = [&] {
    return thrownText<Utils::error>([&] { UniqueFd fd = Utils::writePidFile(path, 4242, {}); });
  };

  // Planted by whoever may write in the directory: neither the target nor a
  // file where a dangling link points is written.
  writeFile(victim, "precious\n");
  chmod(victim.c_str(), 0600);
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
  EXPECT_EQ(refusal(), prefix + "it is a symbolic link");
  EXPECT_EQ(readFile(victim), "precious\n");
  struct stat st;
  ASSERT_EQ(stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  unlink(path.c_str());
  const std::string nowhere = dir.path() + "/created";
  ASSERT_EQ(symlink(nowhere.c_str(), path.c_str()), 0);
  EXPECT_EQ(refusal(), prefix + "it is a symbolic link");
  EXPECT_NE(access(nowhere.c_str(), F_OK), 0);
  unlink(path.c_str());

  // A FIFO would hold the open: refused at once. Should it ever block
  // again, the alarm ends the run.
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  alarm(60);
  EXPECT_EQ(refusal(), prefix + "it is not a regular file");
  alarm(0);
  unlink(path.c_str());

  // A link put in place of the file while the monitor runs goes at the
  // removal; what it points at stays.
  {
    UniqueFd held = Utils::writePidFile(path, 4242, {});
    ASSERT_TRUE(held.valid());
    const std::string planted = dir.path() + "/planted";
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
    ASSERT_EQ(rename(planted.c_str(), path.c_str()), 0);
    Utils::removePidFile(path);
  }
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_EQ(readFile(victim), "precious\n");
}

TEST(UtilsStringTest, SplitTrimAndCheckPath) {
  const std::pair<const char*, Strings> args[] = {
      {"-c \"a b\" -d", {"/p", "-c", "a b", "-d"}},
      {"", {"/p"}},
      {"  a \t\n  b   ", {"/p", "a", "b"}},
      // Empty quotes are an argument; single quotes group too; an unclosed
      // quote runs to the end; a quote ends the word before it.
      {"'' 'x \"y' \"z", {"/p", "", "x \"y", "z"}},
      {"ab\"c d\"e", {"/p", "ab", "c d", "e"}},
  };
  for (const auto& a : args) {
    Strings v{"stale"};
    Utils::splitArgs("/p", a.first, v);
    EXPECT_EQ(v, a.second) << a.first;
  }

  const std::pair<const char*, const char*> trims[] = {
      {"  a b \t", "keep:a b"}, {" ", "keep: "},  // a single character is copied as it is
      {"   ", "keep:"},         {"", "keep:"}};
  for (const auto& t : trims) {
    std::string out = "keep:";
    Utils::trim(t.first, out);
    EXPECT_EQ(out, t.second) << '"' << t.first << '"';
  }

  const struct {
    const char* text;
    const char* delim;
    Strings parts;
  } splits[] = {
      {"MAILD,ICAP", ",", {"x", "MAILD", "ICAP"}},  // appends
      {",a,,b,", ",", {"x", "a", "", "b"}},
      {"/usr/local/", "/", {"x", "usr", "local"}},
      {"", ",", {"x"}},
      {"a::b::c", "::", {"x", "a", "b", "c"}},  // a tail shorter than the delimiter is kept
  };
  for (const auto& s : splits) {
    Strings v{"x"};
    Utils::splitBy(s.text, s.delim, v);
    EXPECT_EQ(v, s.parts) << s.text;
  }

  EXPECT_NO_THROW(Utils::checkPath(""));
  EXPECT_NO_THROW(Utils::checkPath("/var/norvak/update-1.2/"));
  EXPECT_EQ(thrownText<std::runtime_error>([] { Utils::checkPath("/tmp/a b"); }),
            "path \"/tmp/a b\" is not correct. ch= ");
  EXPECT_THROW(Utils::checkPath("/tmp/a\nb"), std::runtime_error);
  EXPECT_THROW(Utils::checkPath(std::string("/tmp/\xc3\xa9")), std::runtime_error);
}

TEST(UtilsFileTest, ListDirAndWriteAll) {
  TempDir dir;
  const std::string d = dir.path() + "/";
  for (const char* name : {"a.mmc", "b.hup", "c.mmc.bak"}) writeFile(d + name, "x");
  mkdir((d + "sub.mmc").c_str(), 0755);
  Strings all;
  Utils::listDir(d, all);
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (Strings{d + "a.mmc", d + "b.hup", d + "c.mmc.bak"}));
  Strings mmc;
  Utils::listFiles(d, ".mmc", mmc);
  EXPECT_EQ(mmc, Strings{d + "a.mmc"});
  EXPECT_EQ(thrownText<std::runtime_error>([&] { Utils::listDir(d + "missing/", all); }),
            "opendir(\"" + d + "missing/\") error: " + strerror(ENOENT));

  // Far more than a pipe holds, so that the writes come out partial.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string data(1 << 20, 'q');
  std::string got;
  std::thread reader([&] {
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, n);
  });
  Utils::writeAll(fds[1], data);
  close(fds[1]);
  reader.join();
  close(fds[0]);
  EXPECT_EQ(got, data);
  EXPECT_THROW(Utils::writeAll(fds[1], "x"), Utils::error);
}

TEST(UtilsIdentityTest, UsersGroupsAndTimes) {
  EXPECT_EQ(thrownText<Utils::error>([] { Utils::getUid("no-such-user-norvak"); }),
            "getpwnam( \"no-such-user-norvak\" ) error");
  EXPECT_EQ(thrownText<Utils::error>([] { Utils::getGid("no-such-group-norvak"); }),
            "getgrnam( \"no-such-group-norvak\" ) error");
  std::string user, group;
  Utils::currentUserGroup(user, group);
  EXPECT_EQ(Utils::getUid(user), getuid());
  EXPECT_EQ(Utils::getGid(group), getgid());

  setenv("TZ", "UTC", 1);
  tzset();
  std::string s;
  Utils::timeToString(3661, s);
  EXPECT_EQ(s, "01:01:01");
  Utils::dateToString(86400 * 365, s);
  EXPECT_EQ(s, "Fri, 01 Jan 1971 00:00:00 +0000");
  Utils::currentDate(s);
  EXPECT_EQ(s.size(), 31u);
}

}  // namespace

namespace {

// The mode bits are judged for the identity asked about, not ours: the file
// is ours, the identities are made up.
TEST(UtilsIdentityTest, ExecProblemJudgesTheIdentityAsked) {
  TempDir dir;
  const std::string file = dir.path() + "/prog";
  writeFile(file, "#!/bin/sh\n");
  // Root would be judged by root's own rule: give the file another owner.
  if (geteuid() == 0) {
    ASSERT_EQ(chown(file.c_str(), 4244, static_cast<gid_t>(-1)), 0);
  }
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  const uid_t owner = st.st_uid;
  const uid_t stranger = owner == 4242 ? 4243 : 4242;
  const gid_t fileGroup = st.st_gid;
  const gid_t otherGroup = fileGroup == 4242 ? 4243 : 4242;
  struct Case {
    mode_t mode;
    uid_t uid;
    std::vector<gid_t> groups;
    std::string problem;
  };
  const Case cases[] = {
      {0700, owner, {otherGroup}, ""},
      {0070, owner, {fileGroup}, "not executable"},  // the owner's bits decide for the owner
      {0700, stranger, {otherGroup}, "not executable"},
      {0710, stranger, {otherGroup, fileGroup}, ""},
      {0701, stranger, {otherGroup}, ""},
      {0701, stranger, {fileGroup}, "not executable"},  // so do the group's for its members
      {0100, 0, {}, ""},  // root needs one execute bit, any
      {0644, 0, {}, "not executable"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.mode) + " for " + std::to_string(c.uid));
    ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
    EXPECT_EQ(Utils::execProblem(file, c.uid, c.groups), c.problem);
  }
  EXPECT_EQ(Utils::execProblem(dir.path(), 0, {}), "not a regular file");
  EXPECT_EQ(Utils::execProblem(dir.path() + "/none", 0, {}), "not found");
}

}  // namespace
