#ifndef NORVAK_MONITOR_UTILS_H_
#define NORVAK_MONITOR_UTILS_H_

#include <sys/types.h>

#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "ipc/nk_unique_fd.h"

// Thin wrappers over the POSIX calls the monitor needs. EINTR is retried
// everywhere; every other failure is reported by an exception.
namespace Utils {

class error : public std::runtime_error {
 public:
  explicit error(const std::string& what) : std::runtime_error(what) {}
};

// Identification of the build and the host.
std::string osName();   // the system this binary was built for
std::string version();  // "6.0.0.201105110"
void getHostName(std::string& name);  // empty on failure

// Local time as "%T", and as a mail Date header value.
void timeToString(time_t t, std::string& out);
void dateToString(time_t t, std::string& out);
void currentDate(std::string& out);

// Splits a component's argument string: path first, then the words; single or
// double quotes group a (possibly empty) argument.
void splitArgs(const std::string& path, const std::string& args, std::vector<std::string>& out);
// Appends to out the part of in between the first and last graphic character.
void trim(const std::string& in, std::string& out);
// Appends the pieces of text between delimiters; see the .cpp for the edge rules.
void splitBy(const std::string& text, const std::string& delimiter, std::vector<std::string>& out);

// dir must end with "/": appends dir + name of every entry that is not a directory.
void listDir(const std::string& dir, std::vector<std::string>& out);
// listDir, keeping only the paths that end with suffix.
void listFiles(const std::string& dir, const std::string& suffix, std::vector<std::string>& out);
// Writes the whole string, continuing after partial writes.
void writeAll(int fd, const std::string& data);

uid_t getUid(const std::string& user);
gid_t getGid(const std::string& group);
// Why a process of that user and those groups could not execute path, or ""
// when it could: "not found", "not a regular file", "not executable" or
// "cannot be examined: <reason>", from the file's type and mode bits as
// exec(2) judges them (root needs one execute bit). The directories on the
// way are not looked at.
std::string execProblem(const std::string& path, uid_t uid, const std::vector<gid_t>& groups);
// Switches group first, then user (empty names are skipped). Returns whether
// any name was given.
bool switchUser(const std::string& user, const std::string& group);
void currentUserGroup(std::string& user, std::string& group);

// Creates, locks, truncates and writes the pid file: the pid and a line feed,
// then each extra line. The returned descriptor holds the lock; keep it open
// for as long as the file is to stay locked. A symbolic link or anything but
// a regular file in its place is left alone and reported (error).
[[nodiscard]] norvak::base::UniqueFd writePidFile(const std::string& path, pid_t pid,
                                    const std::vector<std::string>& extraLines);
void removePidFile(const std::string& path);


// Throws std::runtime_error unless every character is graphic; "" passes.
void checkPath(const std::string& path);

}  // namespace Utils

#endif  // NORVAK_MONITOR_UTILS_H_
