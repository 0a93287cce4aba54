#include "manage/updater.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "frame/log.h"
#include "frame/spawn.h"
#include "frame/utils.h"
#include "ipc/nk_unique_fd.h"
#include "protocols/nk_update_client.h"

using norvak::base::UniqueFd;

const char* const Updater::kPreUpdateScript = "unix/scripts/pre-update.sh";
const char* const Updater::kPostUpdateDir = "usr/local/norvak";
const char* const Updater::kPostUpdateScript = "post-update.sh";
const char* const Updater::kProduct = "20-nvunix";

namespace {

// What a script may say on standard error before the rest is dropped: the
// text goes into one answer and one log record.
const size_t kMaxCaptured = 64 * 1024;
// A package deeper than this is not removed past it: every level holds a
// descriptor while the levels below are removed.
const int kMaxRemoveDepth = 128;

std::string errnoText(int code) { return strerror(code); }

std::string escapeControls(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

// Makes the checked file itself executable: 0750, not 0770, since a script
// its group may write is refused (the next run of the same package too).
// Answers whether it starts with "#!": a script without it is run by
// /bin/sh, as a shell running the command line would have done.
bool prepareScript(int fd, const std::string& script) {
  const std::string prefix = "cannot change mode for script \"" + script + "\": ";
  struct stat status;
  if (fstat(fd, &status) != 0) throw Updater::error(prefix + errnoText(errno));
  if (!S_ISREG(status.st_mode)) throw Updater::error(prefix + "not a regular file");
  if (fchmod(fd, 0750) != 0) throw Updater::error(prefix + errnoText(errno));
  char head[2] = {0, 0};
  ssize_t n;
  do {
    n = pread(fd, head, sizeof(head), 0);
  } while (n < 0 && errno == EINTR);
  return n == 2 && head[0] == '#' && head[1] == '!';
}

// Reads what is there without waiting. False at end of file or on an error.
bool drain(int fd, std::string* into, size_t limit, bool* truncated) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n > 0) {
      const size_t room = limit > into->size() ? limit - into->size() : 0;
      into->append(buffer, std::min(room, static_cast<size_t>(n)));
      if (static_cast<size_t>(n) > room) *truncated = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

// The spawn record of a child that could not exec: 'E', NUL, message, '\n',
// errno in decimal.
std::string reportedReason(const std::string& record) {
  const size_t end = record.find('\n');
  if (record.size() < 2 || record[0] != 'E' || end == std::string::npos) return "unknown error";
  const int code = std::atoi(record.c_str() + end + 1);
  return code > 0 ? errnoText(code) : record.substr(2, end - 2);
}

bool makePipe(UniqueFd* readEnd, UniqueFd* writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd->reset(fds[0]);
  writeEnd->reset(fds[1]);
  return fcntl(fds[0], F_SETFL, O_NONBLOCK) == 0;
}

// ---- Trusting a package -----------------------------------------------------

// Whoever may write or rename the script, or any directory on its way, chooses
// what root runs: all must be root's or ours and writable by no one else, as
// sshd demands of its key files. Above the package a root-owned sticky
// directory (/tmp) is fine: others cannot rename or replace what is not
// theirs there. Empty when the file may be trusted.
std::string distrust(const struct stat& status, bool abovePackage) {
  if (status.st_uid != 0 && status.st_uid != geteuid())
    return "is owned by user " + std::to_string(status.st_uid);
  if (abovePackage && status.st_uid == 0 && S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX))
    return std::string();
  if (status.st_mode & S_IWOTH) return "is writable by others";
  if (status.st_mode & S_IWGRP) return "is writable by group";
  return std::string();
}

Updater::error refused(const std::string& packageDir, const std::string& reason) {
  return Updater::error("package path \"" + packageDir + "\": " + reason);
}

const int kDirectory = O_RDONLY | O_DIRECTORY;

// Opens one name in an already trusted directory, never through a symbolic
// link, and judges what it got. Throws the refusal of something untrusted;
// -1 with errno set when there is nothing to open.
int openTrusted(int at, const std::string& name, int flags, const std::string& shown,
                bool abovePackage, const std::string& packageDir) {
  int fd;
  do {
    fd = openat(at, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  struct stat status;
  if (fd < 0) {
    const int code = errno;
    if ((code == ELOOP || code == ENOTDIR) &&
        fstatat(at, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode))
      throw refused(packageDir, "\"" + shown + "\" is a symbolic link");
    errno = code;
    return -1;
  }
  UniqueFd file(fd);
  if (fstat(fd, &status) != 0)
    throw refused(packageDir, "cannot stat \"" + shown + "\": " + errnoText(errno));
  const std::string reason = distrust(status, abovePackage);
  if (!reason.empty()) throw refused(packageDir, "\"" + shown + "\" " + reason);
  return file.release();
}

// The package directory and its parent (none for "/"), held from the check
// to the removal: a failed package is removed through them, never by name
// again.
struct Package {
  UniqueFd parent;
  UniqueFd dir;
  std::string base;
};

// The walk from "/" down. A relative path is refused rather than resolved:
// the daemon's working directory is "/" and no request should rely on it.
// "." and ".." are refused too, since ".." would lead out of a directory
// already checked.
Package openPackage(const std::string& packageDir) {
  if (packageDir.empty() || packageDir[0] != '/')
    throw refused(packageDir, "it is not an absolute path");
  std::vector<std::string> names;
  for (size_t at = 1; at <= packageDir.size();) {
    const size_t end = std::min(packageDir.find('/', at), packageDir.size());
    const std::string name = packageDir.substr(at, end - at);
    if (name == "." || name == "..")
      throw refused(packageDir, "it has a \".\" or \"..\" component");
    if (!name.empty()) names.push_back(name);
    at = end + 1;
  }
  Package package;
  std::string shown = "/";
  int fd = openTrusted(AT_FDCWD, "/", kDirectory, shown, !names.empty(), packageDir);
  for (size_t i = 0;; ++i) {
    if (fd < 0) {
      const int code = errno;
      throw refused(packageDir, "cannot open \"" + shown + "\": " + errnoText(code));
    }
    package.dir.reset(fd);
    if (i == names.size()) return package;
    package.parent = std::move(package.dir);
    package.base = names[i];
    shown = (i == 0 ? "" : shown) + "/" + names[i];
    fd = openTrusted(package.parent.get(), names[i], kDirectory, shown, i + 1 < names.size(),
                     packageDir);
  }
}

// Checks the path and opens the pre-update script by the same rules. The
// package is handed to *package, for removal, only when nothing on the way
// was refused: what may be someone else's is never removed.
UniqueFd openPackageScript(const std::string& packageDir, const std::string& script,
                           Package* package) {
  try {
    Utils::checkPath(packageDir);
  } catch (const std::exception& e) {
    throw Updater::error(e.what());
  }
  Package walked = openPackage(packageDir);
  UniqueFd file;
  UniqueFd unixDir(
      openTrusted(walked.dir.get(), "unix", kDirectory, packageDir + "/unix", false, packageDir));
  UniqueFd scripts(unixDir ? openTrusted(unixDir.get(), "scripts", kDirectory,
                                         packageDir + "/unix/scripts", false, packageDir)
                           : -1);
  if (scripts) {
    file.reset(openTrusted(scripts.get(), "pre-update.sh", O_RDONLY | O_NONBLOCK, script, false,
                           packageDir));
  }
  const int code = errno;
  *package = std::move(walked);
  if (!file)
    throw Updater::error("cannot change mode for script \"" + script + "\": " + errnoText(code));
  return file;
}

// ---- Removing a failed package ----------------------------------------------

int openDirAt(int at, const char* name) {
  int fd;
  do {
    fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The package's own pre-update script, reached without following links.
bool holdsPreUpdateScript(int dir) {
  UniqueFd unixDir(openDirAt(dir, "unix"));
  if (!unixDir) return false;
  UniqueFd scripts(openDirAt(unixDir.get(), "scripts"));
  if (!scripts) return false;
  struct stat status;
  return fstatat(scripts.get(), "pre-update.sh", &status, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(status.st_mode);
}

void noteFailure(std::string* failure, const std::string& text) {
  if (failure->empty()) *failure = text;
}

// Empties the directory: links are removed, never followed; directories of
// another file system (mount points) are left.
void removeContents(int dir, const std::string& path, dev_t device, int depth,
                    std::string* failure) {
  if (depth > kMaxRemoveDepth) {
    noteFailure(failure, "\"" + path + "\" is nested deeper than " +
                             std::to_string(kMaxRemoveDepth) + " levels");
    return;
  }
  std::vector<std::string> names;
  {
    const int copy = fcntl(dir, F_DUPFD_CLOEXEC, 0);
    DIR* listing = copy >= 0 ? fdopendir(copy) : nullptr;
    if (listing == nullptr) {
      if (copy >= 0) close(copy);
      noteFailure(failure, "cannot list \"" + path + "\": " + errnoText(errno));
      return;
    }
    while (dirent* entry = readdir(listing)) {
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
        names.push_back(entry->d_name);
    }
    closedir(listing);
  }
  for (const std::string& name : names) {
    const std::string entryPath = path + "/" + name;
    struct stat status;
    if (fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT)
        noteFailure(failure, "cannot stat \"" + entryPath + "\": " + errnoText(errno));
      continue;
    }
    if (S_ISDIR(status.st_mode)) {
      if (status.st_dev != device) {
        noteFailure(failure, "\"" + entryPath + "\" is on another file system");
        continue;
      }
      UniqueFd sub(openDirAt(dir, name.c_str()));
      if (!sub) {
        noteFailure(failure, "cannot open \"" + entryPath + "\": " + errnoText(errno));
        continue;
      }
      removeContents(sub.get(), entryPath, device, depth + 1, failure);
      sub.reset();
      if (unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
        noteFailure(failure, "cannot remove \"" + entryPath + "\": " + errnoText(errno));
    } else if (unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) {
      noteFailure(failure, "cannot remove \"" + entryPath + "\": " + errnoText(errno));
    }
  }
}

// Why the directory is not an update package that may be removed; empty
// when it is.
std::string refusalToRemove(const Package& package, struct stat* own) {
  if (fstat(package.dir.get(), own) != 0) return "cannot stat it: " + errnoText(errno);
  struct stat root;
  if (!package.parent ||
      (stat("/", &root) == 0 && own->st_dev == root.st_dev && own->st_ino == root.st_ino))
    return "it is the root directory";
  if (!holdsPreUpdateScript(package.dir.get()))
    return std::string("it holds no ") + Updater::kPreUpdateScript + ", so it is no update package";
  return std::string();
}

void removePackage(const std::string& packageDir, Package* package) {
  const std::string shown = "cache directory \"" + Updater::printable(packageDir) + "\"";
  if (!package->dir) {
    logAlert(shown + " left in place: its path did not pass the check");
    return;
  }
  struct stat own;
  const std::string refusal = refusalToRemove(*package, &own);
  if (!refusal.empty()) {
    logAlert(shown + " left in place: " + refusal);
    return;
  }
  std::string failure;
  removeContents(package->dir.get(), packageDir, own.st_dev, 0, &failure);
  package->dir.reset();
  // The name serves only for the emptied directory, and only while it is
  // still the package's: the script may have moved it.
  const int parent = package->parent.get();
  const char* base = package->base.c_str();
  struct stat named;
  if (fstatat(parent, base, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      (named.st_dev != own.st_dev || named.st_ino != own.st_ino))
    noteFailure(&failure, "its name now belongs to another file");
  else if (unlinkat(parent, base, AT_REMOVEDIR) != 0 && errno != ENOENT)
    noteFailure(&failure, "cannot remove it: " + errnoText(errno));
  if (!failure.empty()) logError("cannot remove " + shown + ": " + Updater::printable(failure));
}

}  // namespace

std::string Updater::printable(const std::string& text) { return escapeControls(text); }

Updater& Updater::instance() {
  static Updater updater;
  return updater;
}

Updater::Updater() : scriptLimit_(norvak::maild::kPreUpdateLimitSeconds) {}

void Updater::set(const Pending& pending) {
  std::lock_guard<std::mutex> lock(recordMutex_);
  pending_ = pending;
}

Updater::Pending Updater::get() const {
  std::lock_guard<std::mutex> lock(recordMutex_);
  return pending_;
}

void Updater::clear() {
  std::lock_guard<std::mutex> lock(recordMutex_);
  pending_ = Pending();
}

bool Updater::isPending() const {
  std::lock_guard<std::mutex> lock(recordMutex_);
  return !pending_.packageDir.empty() && !pending_.argument.empty() && !pending_.product.empty() &&
         !pending_.mta.empty();
}

void Updater::setScriptLimit(int seconds) {
  std::lock_guard<std::mutex> lock(runningMutex_);
  scriptLimit_ = std::max(seconds, 0);
}

void Updater::abortRunning() {
  std::lock_guard<std::mutex> lock(runningMutex_);
  if (runningGroup_ <= 0) return;
  aborted_ = true;
  kill(-runningGroup_, SIGKILL);
}

Updater::Result Updater::PreUpdate(const std::string& packageDir, const std::string& argument,
                                   const std::string& product, const std::string& mta,
                                   const std::string& userGroup) {
  // Two packages unpacking over one installation at once would not end well.
  std::lock_guard<std::mutex> one(updateMutex_);
  logDebug("PreUpdate() " + printable(packageDir) + ", " + printable(argument) + ", " +
           printable(product) + ", " + mta + ", " + userGroup);
  Result result;
  Package package;
  try {
    const std::string script = packageDir + "/" + kPreUpdateScript;
    UniqueFd file = openPackageScript(packageDir, script, &package);
    const bool direct = prepareScript(file.get(), script);
    runPreUpdateScript(file.get(), direct, script, packageDir, argument, mta, userGroup);
    result.ok = true;
    set(Pending{packageDir, argument, product, mta});
    logInfo("pre-update process successful");
  } catch (const error& e) {
    result.message = std::string("pre-update process error because of ") + e.what();
    std::string shown = result.message;
    while (!shown.empty() && shown.back() == '\n') shown.pop_back();
    logError(printable(shown));
    logError("pre-update process unsuccessful");
    logInfo("remove cache directory \"" + printable(packageDir) + "\"");
    removePackage(packageDir, &package);
  }
  return result;
}

void Updater::runPreUpdateScript(int script, bool direct, const std::string& scriptPath,
                                 const std::string& packageDir, const std::string& argument,
                                 const std::string& mta, const std::string& userGroup) {
  // Run from the checked descriptor, whatever the name has come to mean
  // since. A script without "#!" is sourced by the shell so that $0 stays its
  // path; a "#!" interpreter can only be given the descriptor's name.
  const std::string passed = "/dev/fd/" + std::to_string(SpawnPlan::kPassedFd);
  SpawnPlan plan;
  plan.passFd = script;
  plan.path = direct ? passed : "/bin/sh";
  plan.argv = direct ? std::vector<std::string>{scriptPath}
                     : std::vector<std::string>{"sh", "-c", ". " + passed, scriptPath};
  // Each request string is one argument, whatever it holds.
  for (const std::string& word : {packageDir, argument, std::string("44"), std::string("10")})
    plan.argv.push_back(word);
  if (!mta.empty()) plan.argv.push_back(mta);
  if (!userGroup.empty()) plan.argv.push_back(userGroup);

  UniqueFd errRead, errWrite, reportRead, reportWrite;
  if (!makePipe(&errRead, &errWrite) || !makePipe(&reportRead, &reportWrite))
    throw error("cannot run pre-update script \"" + scriptPath +
                "\": pipe() error: " + errnoText(errno));
  plan.stderrFd = errWrite.get();
  plan.reportFd = reportWrite.get();
  plan.clearSignalMask = true;
  plan.defaultSignals = {SIGPIPE};
  // Its own session: a script that hangs is killed with all it started.
  plan.newSession = true;
  plan.exec.status = 127;

  int limit;
  ChildProcess child;
  pid_t group;
  {
    std::lock_guard<std::mutex> lock(runningMutex_);
    limit = scriptLimit_;
    try {
      child = spawn(plan);
    } catch (const std::exception& e) {
      throw error("cannot run pre-update script \"" + scriptPath + "\": " + e.what());
    }
    // The child leads its session and group; the number stays the group's
    // after the child itself has been reaped.
    group = child.pid();
    runningGroup_ = group;
    aborted_ = false;
  }
  errWrite.reset();
  reportWrite.reset();

  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(limit);
  std::string captured;
  std::string report;
  bool truncated = false;
  bool reportTruncated = false;
  bool errOpen = true;
  bool reportOpen = true;
  bool timedOut = false;
  ExitStatus status;
  bool ended = false;
  for (;;) {
    if (!ended) ended = child.tryReap(&status);
    if (ended && !errOpen && !reportOpen) break;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd fds[3];
    nfds_t count = 0;
    if (errOpen) fds[count++] = pollfd{errRead.get(), POLLIN, 0};
    if (reportOpen) fds[count++] = pollfd{reportRead.get(), POLLIN, 0};
    int wait = static_cast<int>(std::min<long long>(left, 60000));
    if (!ended) {
      if (child.pidfd() >= 0)
        fds[count++] = pollfd{child.pidfd(), POLLIN, 0};
      else
        wait = std::min(wait, 20);  // no pidfd: look again soon
    }
    if (poll(fds, count, wait) < 0 && errno != EINTR) {
      timedOut = true;
      break;
    }
    if (errOpen) errOpen = drain(errRead.get(), &captured, kMaxCaptured, &truncated);
    if (reportOpen) reportOpen = drain(reportRead.get(), &report, 1024, &reportTruncated);
  }

  bool aborted;
  {
    std::lock_guard<std::mutex> lock(runningMutex_);
    if (timedOut || !ended) kill(-group, SIGKILL);
    runningGroup_ = -1;
    aborted = aborted_;
  }
  if (!ended) status = child.wait();

  if (aborted)
    throw error("pre-update script \"" + scriptPath + "\" killed: the monitor is stopping");
  if (timedOut) {
    throw error("pre-update script \"" + scriptPath + "\" did not finish in " +
                std::to_string(limit) + " seconds and was killed");
  }
  if (!report.empty())
    throw error("cannot run pre-update script \"" + scriptPath + "\": " + reportedReason(report));
  if (!captured.empty()) throw error(truncated ? captured + "..." : captured);
  if (status.signal > 0) {
    throw error("pre-update script \"" + scriptPath + "\" killed by signal " +
                std::to_string(status.signal));
  }
  if (!status.exited || status.code != 0) {
    throw error("pre-update script \"" + scriptPath + "\" exited with status " +
                std::to_string(status.code));
  }
}

bool Updater::startPostUpdate(const Pending& pending) {
  const std::string script = pending.packageDir + "/" + kPostUpdateDir + "/" + kPostUpdateScript;
  logDebug("exec update cmd: sh " + printable(script) + " " + printable(pending.packageDir) + " " +
           printable(pending.argument) + " &");
  // The script must outlive the monitor (it may well restart it), so it is
  // started by a shell that puts it in the background and exits at once;
  // the shell's command is fixed and the request strings are its
  // positional parameters, never parsed as commands.
  SpawnPlan plan;
  plan.path = "/bin/sh";
  const std::string command = "/bin/sh \"$1\" \"$2\" \"$3\" &";
  plan.argv = {"sh", "-c", command, "sh", script, pending.packageDir, pending.argument};
  plan.clearSignalMask = true;
  plan.defaultSignals = {SIGPIPE};
  plan.newSession = true;
  plan.exec.status = 127;
  try {
    ChildProcess shell = spawn(plan);
    ExitStatus status;
    if (shell.waitOrKill(10, &status)) return false;
    return status.exited && status.code == 0;
  } catch (const std::exception& e) {
    logError(std::string("cannot start the post-update script: ") + e.what());
    return false;
  }
}

void Updater::PostUpdate() {
  if (!isPending()) return;
  // Taken and cleared at once: an update accepted meanwhile is not lost.
  Pending pending;
  {
    std::lock_guard<std::mutex> lock(recordMutex_);
    pending = pending_;
    pending_ = Pending();
  }
  if (pending.product == kProduct) {
    if (startPostUpdate(pending))
      logInfo("update process successful");
    else
      logError("update process error");
  } else {
    logError("cannot update: unknown product \"" + printable(pending.product) + "\"");
  }
}
