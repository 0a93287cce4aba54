#include "utils.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "file_util.h"
#include "temp_dir.h"

namespace {

void touch(const std::string& path) { std::ofstream(path) << "x"; }

// A child that sleeps until it is killed; reaped by the test itself.
pid_t spawnSleeper() {
  pid_t pid = fork();
  if (pid == 0) {
    for (;;) pause();
  }
  return pid;
}

// Runs fn in a forked child and returns what it wrote to the pipe.
template <typename Fn>
std::string inChild(Fn fn) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string text = fn();
    Utils::writeAll(fds[1], text);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, n);
  close(fds[0]);
  int status;
  waitpid(pid, &status, 0);
  return out;
}

TEST(UtilsChildTest, CheckChildReportsRunningExitAndSignal) {
  pid_t sleeper = spawnSleeper();
  ASSERT_GT(sleeper, 0);
  int sig = 0, code = 0;
  bool exited = true;
  EXPECT_TRUE(Utils::checkChild(sleeper, true, &sig, &code, &exited));
  kill(sleeper, SIGTERM);
  EXPECT_FALSE(Utils::checkChild(sleeper, false, &sig, &code, &exited));
  EXPECT_EQ(sig, SIGTERM);
  EXPECT_EQ(code, -1);
  EXPECT_FALSE(exited);

  pid_t three = fork();
  if (three == 0) _exit(3);
  EXPECT_FALSE(Utils::checkChild(three, false, &sig, &code, &exited));
  EXPECT_EQ(sig, -1);
  EXPECT_EQ(code, 3);
  EXPECT_TRUE(exited);

  // Out parameters are optional.
  pid_t plain = fork();
  if (plain == 0) _exit(0);
  EXPECT_FALSE(Utils::checkChild(plain, false));

  try {
    Utils::checkChild(plain, true);  // already reaped
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("waitpid(" + std::to_string(plain) + ", ..) error: ", 0),
              0u);
  }
}

TEST(UtilsChildTest, WaitOrKill) {
  int sig = 0, code = 0;
  bool exited = true;
  pid_t sleeper = spawnSleeper();
  EXPECT_TRUE(Utils::waitOrKill(sleeper, 0, &sig, &code, &exited));
  EXPECT_EQ(sig, SIGKILL);
  EXPECT_FALSE(exited);
  EXPECT_EQ(waitpid(sleeper, nullptr, WNOHANG), -1);  // reaped

  // A child that ends by itself within the time is reaped without a kill,
  // long before the deadline (the bound is generous, not a speed test).
  pid_t quick = fork();
  if (quick == 0) {
    usleep(20000);
    _exit(5);
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Utils::waitOrKill(quick, 30, &sig, &code, &exited));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(code, 5);
  EXPECT_TRUE(exited);

  pid_t gone = fork();
  if (gone == 0) _exit(7);
  usleep(10000);
  EXPECT_FALSE(Utils::waitOrKill(gone, 0, &sig, &code, &exited));
  EXPECT_EQ(code, 7);
}

TEST(UtilsPidFileTest, ContentLockAndRemoval) {
  TempDir dir;
  const std::string path = dir.path() + "/norvak-monitor.pid";
  {
    UniqueFd held = Utils::writePidFile(path, 4242, {"inet:1@h", "unix:/x"});
    ASSERT_TRUE(held.valid());
    // Reading the file opens and closes it in this process; the lock must
    // outlive that.
    EXPECT_EQ(readFile(path), "4242\ninet:1@h\nunix:/x\n");

    std::string text = inChild([&] {
      try {
        UniqueFd fd = Utils::writePidFile(path, getpid(), {});
        return std::string("locked");
      } catch (const Utils::error& e) {
        return std::string(e.what());
      }
    });
    EXPECT_EQ(text.rfind("unable to set lock for file \"" + path + "\": ", 0), 0u) << text;
    EXPECT_GT(text.size(), ("unable to set lock for file \"" + path + "\": ").size());
    // The loser must not have truncated or rewritten the holder's file.
    EXPECT_EQ(readFile(path), "4242\ninet:1@h\nunix:/x\n");
  }

  // Once the holder lets go, another process takes the file over and the
  // old, longer content is truncated.
  std::string taken = inChild([&] {
    try {
      UniqueFd fd = Utils::writePidFile(path, 77, {});
      return std::string("ok");
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
  });
  EXPECT_EQ(taken, "ok");
  EXPECT_EQ(readFile(path), "77\n");

  Utils::removePidFile(path);
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  try {
    Utils::removePidFile(path);
    FAIL() << "no exception";
  } catch (const Utils::error& e) {
    EXPECT_EQ(std::string(e.what()),
              "error unlink pid file \"" + path + "\": " + strerror(ENOENT));
  }
  try {
    UniqueFd fd = Utils::writePidFile(dir.path() + "/no/such/dir.pid", 1, {});
    FAIL() << "no exception";
  } catch (const Utils::error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("error in create pid file \"", 0), 0u);
  }
}

TEST(UtilsStringTest, SplitArgs) {
  std::vector<std::string> v{"stale"};
  Utils::splitArgs("/x/comp", "-c \"a b\" -d", v);
  EXPECT_EQ(v, (std::vector<std::string>{"/x/comp", "-c", "a b", "-d"}));

  Utils::splitArgs("/x/comp", "", v);
  EXPECT_EQ(v, (std::vector<std::string>{"/x/comp"}));

  Utils::splitArgs("/p", "  a \t\n  b   ", v);
  EXPECT_EQ(v, (std::vector<std::string>{"/p", "a", "b"}));

  // Empty quotes are an argument; single quotes group too; an unclosed
  // quote runs to the end; a quote ends the word before it.
  Utils::splitArgs("/p", "'' 'x \"y' \"z", v);
  EXPECT_EQ(v, (std::vector<std::string>{"/p", "", "x \"y", "z"}));
  Utils::splitArgs("/p", "ab\"c d\"e", v);
  EXPECT_EQ(v, (std::vector<std::string>{"/p", "ab", "c d", "e"}));
}

TEST(UtilsStringTest, TrimAndSplitBy) {
  std::string out = "keep:";
  Utils::trim("  a b \t", out);
  EXPECT_EQ(out, "keep:a b");
  out.clear();
  Utils::trim(" ", out);
  EXPECT_EQ(out, " ");  // a single character is copied as it is
  out.clear();
  Utils::trim("   ", out);
  EXPECT_EQ(out, "");
  Utils::trim("", out);
  EXPECT_EQ(out, "");

  std::vector<std::string> v;
  Utils::splitBy("MAILD,ICAP", ",", v);
  EXPECT_EQ(v, (std::vector<std::string>{"MAILD", "ICAP"}));
  v.clear();
  Utils::splitBy(",a,,b,", ",", v);
  EXPECT_EQ(v, (std::vector<std::string>{"a", "", "b"}));
  v.clear();
  Utils::splitBy("/usr/local/", "/", v);
  EXPECT_EQ(v, (std::vector<std::string>{"usr", "local"}));
  v.clear();
  Utils::splitBy("", ",", v);
  EXPECT_TRUE(v.empty());
  v = {"x"};
  Utils::splitBy("one", ",", v);  // appends
  EXPECT_EQ(v, (std::vector<std::string>{"x", "one"}));
  v.clear();
  Utils::splitBy("a::b::c", "::", v);  // a tail shorter than the delimiter is kept
  EXPECT_EQ(v, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(UtilsStringTest, CheckPath) {
  EXPECT_NO_THROW(Utils::checkPath(""));
  EXPECT_NO_THROW(Utils::checkPath("/var/norvak/update-1.2/"));
  try {
    Utils::checkPath("/tmp/a b");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "path \"/tmp/a b\" is not correct. ch= ");
  }
  EXPECT_THROW(Utils::checkPath("/tmp/a\nb"), std::runtime_error);
  EXPECT_THROW(Utils::checkPath(std::string("/tmp/\xc3\xa9")), std::runtime_error);
}

TEST(UtilsFileTest, ListDirAndFiles) {
  TempDir dir;
  const std::string d = dir.path() + "/";
  touch(d + "a.mmc");
  touch(d + "b.hup");
  touch(d + "c.mmc.bak");
  mkdir((d + "sub.mmc").c_str(), 0755);

  std::vector<std::string> all;
  Utils::listDir(d, all);
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (std::vector<std::string>{d + "a.mmc", d + "b.hup", d + "c.mmc.bak"}));

  std::vector<std::string> mmc;
  Utils::listFiles(d, ".mmc", mmc);
  EXPECT_EQ(mmc, (std::vector<std::string>{d + "a.mmc"}));

  try {
    Utils::listDir(d + "missing/", all);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), std::string("opendir() error: ") + strerror(ENOENT));
  }
}

TEST(UtilsFileTest, WriteAllSurvivesPartialWrites) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string data(1 << 20, 'q');  // far more than a pipe holds
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

TEST(UtilsCommandTest, RunCommandCapturesErrorsAndReaps) {
  std::string text;
  EXPECT_TRUE(Utils::runCommand("echo to-stdout", text));
  EXPECT_EQ(text, "");

  EXPECT_FALSE(Utils::runCommand("sh -c 'echo problem >&2; echo more >&2'", text));
  EXPECT_EQ(text, "problem\nmore\n");

  text.clear();
  EXPECT_FALSE(Utils::runCommand("exit 3", text));  // silent failure is a failure
  EXPECT_NE(text.find("status 3"), std::string::npos) << text;

  // Neither path may leave a zombie behind.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(UtilsIdentityTest, UsersGroupsAndTimes) {
  EXPECT_EQ(Utils::getUid("root"), 0u);
  EXPECT_EQ(Utils::getGid("root"), 0u);
  try {
    Utils::getUid("no-such-user-norvak");
    FAIL() << "no exception";
  } catch (const Utils::error& e) {
    EXPECT_EQ(std::string(e.what()), "getpwnam( \"no-such-user-norvak\" ) error");
  }
  try {
    Utils::getGid("no-such-group-norvak");
    FAIL() << "no exception";
  } catch (const Utils::error& e) {
    EXPECT_EQ(std::string(e.what()), "getgrnam( \"no-such-group-norvak\" ) error");
  }
  EXPECT_FALSE(Utils::switchUser("", ""));
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
