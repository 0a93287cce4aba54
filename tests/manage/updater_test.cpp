// The update procedure: what the package's scripts see, what fails an
// update, and which directories a failure may remove.
#include "manage/updater.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "file_util.h"
#include "log_file_test.h"
#include "wait_util.h"

namespace {

mode_t modeOf(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 ? (status.st_mode & 07777) : 0;
}

class UpdaterTest : public LogFileTest {
 protected:
  // An unpacked package whose pre-update script runs `body`, after writing
  // its arguments one per line into trace().
  std::string package(const std::string& name, const std::string& body = "", bool shebang = true) {
    const std::string dir = dir_.path() + "/" + name;
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/unix").c_str(), 0755);
    mkdir((dir + "/unix/scripts").c_str(), 0755);
    const std::string text = std::string(shebang ? "#!/bin/sh\n" : "") +
                             "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + trace() +
                             "'\n" + body;
    writeFile(dir + "/" + Updater::kPreUpdateScript, text);
    chmod((dir + "/" + Updater::kPreUpdateScript).c_str(), 0644);
    return dir;
  }
  std::string trace() const { return dir_.path() + "/trace"; }
  std::vector<std::string> seen() const {
    std::vector<std::string> lines;
    std::string text = readFile(trace());
    for (size_t at = 0; at < text.size();) {
      const size_t end = text.find('\n', at);
      lines.push_back(text.substr(at, end - at));
      at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
  }

  // The request is refused for the reason given, its script never runs and
  // the package stays.
  void expectRefused(const std::string& request, const std::string& pkg,
                     const std::string& refusal) {
    EXPECT_EQ(updater_.PreUpdate(request, "a", "p", "", "").message,
              "pre-update process error because of package path \"" + request + "\": " + refusal);
    EXPECT_FALSE(pathExists(trace())) << "the script ran";
    EXPECT_TRUE(pathExists(pkg + "/" + Updater::kPreUpdateScript));
    EXPECT_TRUE(logged("cache directory \"" + request +
                       "\" left in place: its path did not pass the check"));
  }

  Updater updater_;
};

TEST_F(UpdaterTest, ASilentScriptSucceedsAndGetsEachRequestStringAsOneArgument) {
  const std::string pkg = package("pkg");
  const std::string planted = dir_.path() + "/planted";
  const std::string argument =
      "x;touch " + planted + " $(touch " + planted + ") `touch " + planted + "`";

  const Updater::Result result =
      updater_.PreUpdate(pkg, argument, "20-nvunix", "SENDMAIL", "mail:mail");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.message, "");
  EXPECT_EQ(seen(), (std::vector<std::string>{pkg, argument, "44", "10", "SENDMAIL", "mail:mail"}));
  EXPECT_FALSE(pathExists(planted)) << "the argument was run as a command";
  EXPECT_EQ(modeOf(pkg + "/" + Updater::kPreUpdateScript), 0750u);
  EXPECT_TRUE(logged("pre-update process successful"));

  ASSERT_TRUE(updater_.isPending());
  const Updater::Pending pending = updater_.get();
  EXPECT_EQ(pending.packageDir, pkg);
  EXPECT_EQ(pending.argument, argument);
  EXPECT_EQ(pending.product, "20-nvunix");
  EXPECT_EQ(pending.mta, "SENDMAIL");
  EXPECT_TRUE(updater_.PreUpdate(pkg, "again", "p", "", "").ok) << "its own mode refused it";

  // Without an MTA or a user and group the last arguments are left out; a
  // script without "#!" is run by the shell, as a command line would have.
  const std::string plain = package("plain", "", false);
  EXPECT_TRUE(updater_.PreUpdate(plain, "arg", "p", "", "").ok);
  EXPECT_EQ(seen(), (std::vector<std::string>{plain, "arg", "44", "10"}));
  EXPECT_FALSE(updater_.isPending()) << "no update is pending without an MTA";
}

TEST_F(UpdaterTest, AnythingOnStandardErrorOrAFailingStatusFailsAndRemovesThePackage) {
  updater_.set(Updater::Pending{"/earlier", "a", "p", "M"});
  const std::string noisy = package("noisy", "echo 'disk full' >&2\necho 'to stdout'\nexit 0\n");
  Updater::Result result = updater_.PreUpdate(noisy, "a", "p", "M", "");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message, "pre-update process error because of disk full\n");
  EXPECT_FALSE(pathExists(noisy));
  EXPECT_TRUE(logged("pre-update process error because of disk full\n"));
  EXPECT_TRUE(logged("pre-update process unsuccessful"));
  EXPECT_TRUE(logged("remove cache directory \"" + noisy + "\""));
  EXPECT_EQ(updater_.get().packageDir, "/earlier") << "a failure leaves the record as it was";

  const std::string silent = package("silent", "mkdir -p \"$1/a/b\"; touch \"$1/a/b/c\"; exit 3\n");
  result = updater_.PreUpdate(silent + "/", "a", "p", "M", "");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message, "pre-update process error because of pre-update script \"" + silent +
                                "//unix/scripts/pre-update.sh\" exited with status 3");
  EXPECT_FALSE(pathExists(silent)) << "a trailing slash names the same directory";
}

TEST_F(UpdaterTest, OnlyAPlainPackageDirectoryIsEverRemoved) {
  // A path with a blank fails the check and is left, package or not.
  const std::string blank = package("with blank", "exit 1\n");
  Updater::Result result = updater_.PreUpdate(blank, "a", "p", "", "");
  EXPECT_EQ(result.message,
            "pre-update process error because of path \"" + blank + "\" is not correct. ch= ");
  EXPECT_TRUE(pathExists(blank + "/" + Updater::kPreUpdateScript));

  // Not a package: no script to chmod, and nothing to remove.
  const std::string data = dir_.path() + "/data";
  mkdir(data.c_str(), 0755);
  writeFile(data + "/precious", "x");
  result = updater_.PreUpdate(data, "a", "p", "", "");
  EXPECT_EQ(result.message, "pre-update process error because of cannot change mode for script \"" +
                                data + "/unix/scripts/pre-update.sh\": No such file or directory");
  EXPECT_TRUE(pathExists(data + "/precious"));
  EXPECT_TRUE(logged("cache directory \"" + data +
                     "\" left in place: it holds no unix/scripts/pre-update.sh"));
  EXPECT_FALSE(updater_.PreUpdate("/", "a", "p", "", "").ok);
  EXPECT_TRUE(logged("cache directory \"/\" left in place: it is the root directory"));

  // Links inside a removed package go, what they point at stays.
  const std::string keep = dir_.path() + "/keep";
  mkdir(keep.c_str(), 0755);
  writeFile(keep + "/file", "x");
  const std::string pkg = package("pkg", "exit 1\n");
  ASSERT_EQ(symlink(keep.c_str(), (pkg + "/to-keep").c_str()), 0);
  ASSERT_EQ(symlink((keep + "/file").c_str(), (pkg + "/unix/to-file").c_str()), 0);
  EXPECT_FALSE(updater_.PreUpdate(pkg, "a", "p", "", "").ok);
  EXPECT_FALSE(pathExists(pkg));
  EXPECT_EQ(readFile(keep + "/file"), "x");
}

TEST_F(UpdaterTest, WhatOthersCouldWriteOrRedirectIsNeitherRunNorRemoved) {
  const std::string d = dir_.path();
  // Where a linked script or scripts directory leads: a script that would
  // leave a trace as well.
  mkdir((d + "/outside").c_str(), 0755);
  writeScript(d + "/outside/pre-update.sh", "echo ran > '" + trace() + "'\n");
  chmod((d + "/outside/pre-update.sh").c_str(), 0700);
  ASSERT_EQ(symlink(d.c_str(), (d + "/up").c_str()), 0);
  const auto linkTo = [](const std::string& target, const std::string& link) {
    ASSERT_EQ(system(("rm -rf '" + link + "'").c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  };
  const struct {
    std::string name, request, refusal;
    std::function<void(const std::string& pkg)> spoil;
  } cases[] = {
      {"open", d + "/open", "\"" + d + "/open\" is writable by others",
       [](const std::string& pkg) { chmod(pkg.c_str(), 0777); }},
      {"group", d + "/group", "\"" + d + "/group/unix/scripts\" is writable by group",
       [](const std::string& pkg) { chmod((pkg + "/unix/scripts").c_str(), 0775); }},
      {"script", d + "/script",
       "\"" + d + "/script/unix/scripts/pre-update.sh\" is writable by group",
       [](const std::string& pkg) {
         chmod((pkg + "/" + Updater::kPreUpdateScript).c_str(), 0664);
       }},
      {"linked", d + "/link", "\"" + d + "/link\" is a symbolic link",
       [&](const std::string& pkg) { linkTo(pkg, d + "/link"); }},
      {"below", d + "/up/below", "\"" + d + "/up\" is a symbolic link", nullptr},
      {"scripts", d + "/scripts", "\"" + d + "/scripts/unix/scripts\" is a symbolic link",
       [&](const std::string& pkg) { linkTo(d + "/outside", pkg + "/unix/scripts"); }},
      {"target", d + "/target",
       "\"" + d + "/target/unix/scripts/pre-update.sh\" is a symbolic link",
       [&](const std::string& pkg) {
         linkTo(d + "/outside/pre-update.sh", pkg + "/" + Updater::kPreUpdateScript);
       }},
      {"relative", "relative", "it is not an absolute path", nullptr},
      {"dotted", d + "/up/../dotted", "it has a \".\" or \"..\" component", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string pkg = package(c.name, "exit 1\n");
    if (c.spoil) c.spoil(pkg);
    expectRefused(c.request, pkg, c.refusal);
  }
  EXPECT_EQ(modeOf(d + "/outside/pre-update.sh"), 0700u);
}

TEST_F(UpdaterTest, APackageOfAnotherUserIsNeitherRunNorRemoved) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a package away";
  const std::string pkg = package("pkg", "exit 1\n");
  ASSERT_EQ(system(("chown -R 65534:65534 '" + pkg + "'").c_str()), 0);
  expectRefused(pkg, pkg, "\"" + pkg + "\" is owned by user 65534");
}

TEST_F(UpdaterTest, AHangingScriptIsKilledWithWhatItStarted) {
  updater_.setScriptLimit(1);
  const std::string pidFile = dir_.path() + "/child.pid";
  const std::string pkg = package("slow", "sleep 600 &\necho $! > '" + pidFile + "'\nsleep 600\n");
  const Updater::Result result = updater_.PreUpdate(pkg, "a", "p", "", "");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message,
            "pre-update process error because of pre-update script \"" + pkg +
                "/unix/scripts/pre-update.sh\" did not finish in 1 seconds and was killed");
  const pid_t background = std::atoi(readFile(pidFile).c_str());
  ASSERT_GT(background, 0);
  // Orphaned and reaped by init once killed.
  EXPECT_TRUE(waitUntil([&] { return kill(background, 0) != 0; }));
}

TEST_F(UpdaterTest, AbortKillsTheRunningScriptAtOnce) {
  const std::string started = dir_.path() + "/started";
  const std::string pkg = package("slow", "touch '" + started + "'\nexec sleep 600\n");
  Updater::Result result;
  std::atomic<bool> done{false};
  std::thread update([&] {
    result = updater_.PreUpdate(pkg, "a", "p", "", "");
    done = true;
  });
  EXPECT_TRUE(waitUntil([&] { return pathExists(started); }));
  // The script may be between its start and the exec: ask until it is gone.
  EXPECT_TRUE(waitUntil([&] {
    updater_.abortRunning();
    return done.load();
  }));
  update.join();
  EXPECT_EQ(result.message, "pre-update process error because of pre-update script \"" + pkg +
                                "/unix/scripts/pre-update.sh\" killed: the monitor is stopping");
}

TEST_F(UpdaterTest, PostUpdateStartsTheScriptOfTheKnownProductAndForgetsTheUpdate) {
  updater_.PostUpdate();  // nothing pending: nothing happens
  EXPECT_FALSE(logged("update process"));

  const std::string pkg = dir_.path() + "/pkg";
  const std::string scriptDir = pkg + "/" + Updater::kPostUpdateDir;
  ASSERT_EQ(system(("mkdir -p '" + scriptDir + "'").c_str()), 0);
  const std::string out = dir_.path() + "/post";
  // Run with sh: it needs no execute permission.
  writeFile(scriptDir + "/" + Updater::kPostUpdateScript,
            "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + out + ".tmp'\nmv '" + out +
                ".tmp' '" + out + "'\n");
  const std::string argument = "a b;touch " + dir_.path() + "/planted";
  updater_.set(Updater::Pending{pkg, argument, Updater::kProduct, "SENDMAIL"});
  updater_.PostUpdate();
  EXPECT_FALSE(updater_.isPending());
  ASSERT_TRUE(waitUntil([&] { return pathExists(out); }));
  EXPECT_EQ(readFile(out), pkg + "\n" + argument + "\n");
  EXPECT_FALSE(pathExists(dir_.path() + "/planted"));
  EXPECT_TRUE(logged("exec update cmd: sh " + scriptDir + "/post-update.sh " + pkg + " " +
                     argument + " &"));
  EXPECT_TRUE(logged("update process successful"));

  updater_.set(Updater::Pending{pkg, "a", "30-other", "SENDMAIL"});
  updater_.PostUpdate();
  EXPECT_FALSE(updater_.isPending());
  EXPECT_TRUE(logged("cannot update: unknown product \"30-other\""));
}

}  // namespace
