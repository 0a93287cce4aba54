#include "frame/utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include "frame/run_mode.h"


using norvak::base::UniqueFd;

namespace Utils {

namespace {

std::string errnoText(int code) { return strerror(code); }

void formatTime(time_t t, const char* format, std::string& out) {
  struct tm tmv;
  localtime_r(&t, &tmv);
  char buf[32];
  size_t n = strftime(buf, sizeof buf, format, &tmv);
  out.assign(buf, n);
}

// Lookups through the reentrant calls: the monitor has several threads, and
// the plain getpw*/getgr* share one static buffer.
size_t lookupBufferSize(int name) {
  long n = sysconf(name);
  return n > 0 ? static_cast<size_t>(n) : 4096;
}

template <typename Entry, typename Key, typename Fn>
bool lookup(Fn fn, Key key, int sizeName, Entry& entry, std::vector<char>& buf, int& err) {
  buf.resize(lookupBufferSize(sizeName));
  for (;;) {
    Entry* result = nullptr;
    err = fn(key, &entry, buf.data(), buf.size(), &result);
    if (err == EINTR) continue;
    if (err == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (err == 0 && result == nullptr) err = ENOENT;
    return err == 0;
  }
}

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

bool isGraph(char c) { return std::isgraph(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::string osName() {
#if defined(__linux__)
  return "Linux";
#elif defined(__sun)
  return "Solaris";
#elif defined(__FreeBSD__)
  return "FreeBSD";
#elif defined(__APPLE__)
  return "MacOS X";
#else
  return "UNKNOWN";
#endif
}

std::string version() { return kProgramVersion; }

void getHostName(std::string& name) {
  char buf[1024];
  if (gethostname(buf, sizeof buf) != 0) {
    name.clear();
    return;
  }
  buf[sizeof buf - 1] = '\0';
  name = buf;
}

void timeToString(time_t t, std::string& out) { formatTime(t, "%T", out); }

void dateToString(time_t t, std::string& out) {
  formatTime(t, "%a, %d %b %Y %H:%M:%S %z", out);
}

void currentDate(std::string& out) { dateToString(time(nullptr), out); }

void splitArgs(const std::string& path, const std::string& args, std::vector<std::string>& out) {
  out.clear();
  out.push_back(path);
  std::string word;
  auto flush = [&]() {
    std::string trimmed;
    trim(word, trimmed);
    if (!trimmed.empty()) out.push_back(trimmed);
    word.clear();
  };
  for (size_t i = 0; i < args.size(); ++i) {
    char c = args[i];
    if (c == '"' || c == '\'') {
      flush();
      size_t close = args.find(c, i + 1);
      if (close == std::string::npos) close = args.size();
      out.push_back(args.substr(i + 1, close - i - 1));
      i = close;  // the loop step consumes the closing quote
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      flush();
    } else {
      word += c;
    }
  }
  flush();
}

void trim(const std::string& in, std::string& out) {
  if (in.size() == 1) {
    out += in;
    return;
  }
  auto first = std::find_if(in.begin(), in.end(), isGraph);
  if (first == in.end()) return;
  auto last = std::find_if(in.rbegin(), in.rend(), isGraph).base();
  out.append(first, last);
}

void splitBy(const std::string& text, const std::string& delimiter,
             std::vector<std::string>& out) {
  if (delimiter.empty()) {
    if (!text.empty()) out.push_back(text);
    return;
  }
  size_t pos = 0;
  if (text.compare(0, delimiter.size(), delimiter) == 0) pos = delimiter.size();
  for (;;) {
    size_t next = text.find(delimiter, pos);
    if (next == std::string::npos) break;
    out.push_back(text.substr(pos, next - pos));
    pos = next + delimiter.size();
  }
  // A trailing delimiter adds nothing; any other tail is kept, also one
  // shorter than a multi-character delimiter.
  if (pos < text.size()) out.push_back(text.substr(pos));
}

void listDir(const std::string& dir, std::vector<std::string>& out) {
  std::unique_ptr<DIR, DirCloser> d(opendir(dir.c_str()));
  if (!d) {
    const int err = errno;
    throw std::runtime_error("opendir(\"" + dir + "\") error: " + errnoText(err));
  }
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(d.get());
    if (e == nullptr) {
      if (errno != 0 && errno != EINTR) {
        throw std::runtime_error("readdir() error: " + errnoText(errno));
      }
      if (errno == EINTR) continue;
      break;
    }
    std::string path = dir + e->d_name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      // Hup files come and go with their owners: one removed between readdir
      // and stat is simply no longer there.
      if (errno == ENOENT) continue;
      throw std::runtime_error("stat() error: " + errnoText(errno));
    }
    if (!S_ISDIR(st.st_mode)) out.push_back(path);
  }
}

void listFiles(const std::string& dir, const std::string& suffix, std::vector<std::string>& out) {
  std::vector<std::string> all;
  listDir(dir, all);
  for (auto& path : all) {
    if (path.size() >= suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
      out.push_back(std::move(path));
    }
  }
}

void writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw error(errnoText(errno));
    }
    done += static_cast<size_t>(n);
  }
}

uid_t getUid(const std::string& user) {
  struct passwd pw;
  std::vector<char> buf;
  int err = 0;
  if (!lookup(getpwnam_r, user.c_str(), _SC_GETPW_R_SIZE_MAX, pw, buf, err)) {
    throw error("getpwnam( \"" + user + "\" ) error");
  }
  return pw.pw_uid;
}

gid_t getGid(const std::string& group) {
  struct group gr;
  std::vector<char> buf;
  int err = 0;
  if (!lookup(getgrnam_r, group.c_str(), _SC_GETGR_R_SIZE_MAX, gr, buf, err)) {
    throw error("getgrnam( \"" + group + "\" ) error");
  }
  return gr.gr_gid;
}

std::string execProblem(const std::string& path, uid_t uid, const std::vector<gid_t>& groups) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    return errno == ENOENT ? std::string("not found") : "cannot be examined: " + errnoText(errno);
  }
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  mode_t bit = S_IXOTH;
  if (uid == 0) {
    bit = S_IXUSR | S_IXGRP | S_IXOTH;
  } else if (uid == st.st_uid) {
    bit = S_IXUSR;
  } else if (std::find(groups.begin(), groups.end(), st.st_gid) != groups.end()) {
    bit = S_IXGRP;
  }
  return (st.st_mode & bit) != 0 ? std::string() : std::string("not executable");
}

bool switchUser(const std::string& user, const std::string& group) {
  if (!group.empty()) {
    gid_t gid = getGid(group);
    if (gid != getgid()) {
      // Root's supplementary groups would otherwise survive the switch.
      if (geteuid() == 0 && setgroups(1, &gid) != 0) {
        throw error("cannot set gid, because of " + errnoText(errno));
      }
      if (setgid(gid) != 0) throw error("cannot set gid, because of " + errnoText(errno));
    }
  }
  if (!user.empty()) {
    uid_t uid = getUid(user);
    if (uid != getuid()) {
      if (geteuid() == 0) {
        gid_t gid = getgid();
        if (setgroups(1, &gid) != 0) {
          throw error("cannot set uid, because of " + errnoText(errno));
        }
      }
      if (setuid(uid) != 0) throw error("cannot set uid, because of " + errnoText(errno));
    }
  }
  return !user.empty() || !group.empty();
}

void currentUserGroup(std::string& user, std::string& group) {
  struct passwd pw;
  std::vector<char> buf;
  int err = 0;
  if (!lookup(getpwuid_r, getuid(), _SC_GETPW_R_SIZE_MAX, pw, buf, err)) {
    throw error("cannot get uid, because of " + errnoText(err));
  }
  user = pw.pw_name;
  struct group gr;
  if (!lookup(getgrgid_r, getgid(), _SC_GETGR_R_SIZE_MAX, gr, buf, err)) {
    throw error("cannot get gid, because of " + errnoText(err));
  }
  group = gr.gr_name;
}

namespace {

// Whole-file fcntl write lock without waiting.
void lockFile(int fd, pid_t pid) {
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
#ifdef F_OFD_SETLK
  // A classic record lock belongs to the process and vanishes when the
  // process closes any descriptor of the file, even one opened only to read
  // the pid; a lock on the open file itself lasts as long as this descriptor.
  // Other processes see it conflict with their classic locks as before.
  fl.l_pid = 0;
  for (;;) {
    if (fcntl(fd, F_OFD_SETLK, &fl) == 0) return;
    if (errno == EINTR) continue;
    if (errno != EINVAL) throw error(errnoText(errno));
    break;  // kernel without such locks
  }
#endif
  fl.l_pid = pid;
  while (fcntl(fd, F_SETLK, &fl) != 0) {
    if (errno != EINTR) throw error(errnoText(errno));
  }
}

}  // namespace

UniqueFd writePidFile(const std::string& path, pid_t pid,
                      const std::vector<std::string>& extraLines) {
  // Not writable by others: whoever can rewrite the pid can aim the next
  // "kill `cat pidfile`" at any process. Not inherited by components either.
  // Never through a symbolic link: anyone who may write in the directory
  // could plant one and have the monitor, as root, overwrite (or create)
  // whatever it points at. Non-blocking for the open alone, which a FIFO
  // planted there would otherwise hold.
  UniqueFd fd;
  for (;;) {
    fd.reset(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                  0644));
    if (fd || errno != EINTR) break;
  }
  if (!fd) {
    const int err = errno;
    struct stat st;
    const bool link = err == ELOOP && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    throw error("error in create pid file \"" + path +
                "\": " + (link ? std::string("it is a symbolic link") : errnoText(err)));
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    throw error("error in create pid file \"" + path + "\": " + errnoText(errno));
  }
  if (!S_ISREG(st.st_mode)) {
    throw error("error in create pid file \"" + path + "\": it is not a regular file");
  }
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    throw error("error in create pid file \"" + path + "\": " + errnoText(errno));
  }
  try {
    lockFile(fd.get(), pid);
  } catch (const error& e) {
    throw error("unable to set lock for file \"" + path + "\": " + e.what());
  }
  while (ftruncate(fd.get(), 0) != 0) {
    if (errno != EINTR) throw error("error truncate pid file: " + errnoText(errno));
  }
  std::string content = std::to_string(pid) + "\n";
  for (const auto& line : extraLines) content += line + "\n";
  try {
    writeAll(fd.get(), content);
  } catch (const error& e) {
    throw error(std::string("error write to pid file: ") + e.what());
  }
  return fd;
}

void removePidFile(const std::string& path) {
  // unlink() takes away a link planted in place of the file, never what the
  // link points at.
  while (unlink(path.c_str()) != 0) {
    if (errno != EINTR) {
      throw error("error unlink pid file \"" + path + "\": " + errnoText(errno));
    }
  }
}

void checkPath(const std::string& path) {
  for (char c : path) {
    if (!isGraph(c)) {
      throw std::runtime_error("path \"" + path + "\" is not correct. ch=" + std::string(1, c));
    }
  }
}

}  // namespace Utils
