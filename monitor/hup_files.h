#ifndef NORVAK_MONITOR_HUP_FILES_H_
#define NORVAK_MONITOR_HUP_FILES_H_

#include <sys/types.h>

#include <set>
#include <string>

// Hup files: a component's process holds "NAME.PID.hup" write-locked in the
// pid-file directory while it lives, so that a reload request naming its pid
// reaches it even when the monitor does not know the pid (a process the
// component started). Files nobody holds any more are removed.
namespace HupFiles {

// Splits a hup file name (component "." pid ".hup") into its parts; the
// directory part of path is ignored. False for any other form.
bool parseName(const std::string& path, std::string& component, pid_t& pid);
// SIGHUP to the live owners of the hup files in dir whose pid is in pids,
// which are taken out of the set. Only regular files count; anything else
// is skipped with a warning naming it, and nothing is waited for.
void pass(const std::string& dir, std::set<pid_t>& pids);

}  // namespace HupFiles

#endif  // NORVAK_MONITOR_HUP_FILES_H_
