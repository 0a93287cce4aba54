#ifndef NORVAK_MANAGE_UPDATER_H_
#define NORVAK_MANAGE_UPDATER_H_

#include <sys/types.h>

#include <mutex>
#include <stdexcept>
#include <string>

// Installs an unpacked update package in two steps: the package's pre-update
// script runs at once and its result answers the Update request; the
// post-update script is started later, from the main loop, and left to run
// on its own. Between the two the pending update is one process-wide record.
//
// The request's strings come from the network. They reach the scripts only
// as separate arguments, never through a shell. What runs as root must be
// root's (or the monitor's own user's) all the way from "/": a package that
// anyone else could have written or redirected is refused and left alone,
// and a failed package is removed only when it is plainly an update package.
class Updater {
 public:
  class error : public std::runtime_error {
   public:
    explicit error(const std::string& what) : std::runtime_error(what) {}
  };

  struct Result {
    bool ok = false;
    std::string message;
  };

  // An update exists when every field is non-empty.
  struct Pending {
    std::string packageDir;
    std::string argument;
    std::string product;
    std::string mta;
  };

  static const char* const kPreUpdateScript;   // "unix/scripts/pre-update.sh"
  static const char* const kPostUpdateDir;     // "usr/local/norvak"
  static const char* const kPostUpdateScript;  // "post-update.sh"
  static const char* const kProduct;           // "20-nvunix"

  static Updater& instance();
  // A request string as log records show it: control characters escaped,
  // so that a string from the network cannot forge or garble a record.
  static std::string printable(const std::string& text);

  Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Runs packageDir/unix/scripts/pre-update.sh with the arguments packageDir,
  // argument, 44, 10, then mta and userGroup when they are not empty. The
  // script succeeds when it writes nothing on standard error and exits with
  // status 0; success makes the update pending. A failure is answered, never
  // thrown. Updates run one at a time.
  //
  // packageDir must be absolute, without "." or ".." and without symbolic
  // links; it, every directory above it, unix, unix/scripts and the script
  // must belong to root or to the monitor's effective user and be writable
  // by nobody else (a root-owned sticky directory such as /tmp may stand
  // above the package). The script runs from the descriptor that passed the
  // check, so its name gives $0 only to scripts without "#!": one with "#!"
  // sees /dev/fd/3.
  Result PreUpdate(const std::string& packageDir, const std::string& argument,
                   const std::string& product, const std::string& mta,
                   const std::string& userGroup);
  // The main loop's turn: starts the pending update's post-update script in
  // the background and forgets the update. Nothing when none is pending.
  void PostUpdate();

  void set(const Pending& pending);
  Pending get() const;
  void clear();
  bool isPending() const;

  // Seconds a pre-update script may run before it is killed with everything
  // it started in its session.
  void setScriptLimit(int seconds);
  // Kills the pre-update script running now, if any: the monitor is
  // stopping and will not wait for it.
  void abortRunning();

 private:
  // script: the checked file's descriptor; direct: it starts with "#!".
  void runPreUpdateScript(int script, bool direct, const std::string& scriptPath,
                          const std::string& packageDir, const std::string& argument,
                          const std::string& mta, const std::string& userGroup);
  bool startPostUpdate(const Pending& pending);

  std::mutex updateMutex_;  // held through a whole PreUpdate

  mutable std::mutex recordMutex_;
  Pending pending_;

  std::mutex runningMutex_;
  pid_t runningGroup_ = -1;  // the running script's process group
  bool aborted_ = false;
  int scriptLimit_;
};

#endif  // NORVAK_MANAGE_UPDATER_H_
