#ifndef NORVAK_MONITOR_LOG_CLASS_H_
#define NORVAK_MONITOR_LOG_CLASS_H_

#include <memory>
#include <string>

#include "ipc/nk_log.h"

// One logger: a level, a syslog facility, an echo flag and a name. Every
// logger of the process writes to the same destination (syslog or one log
// file), which the initialisation switches under the shared output mutex.
class LogClass : public norvak::base::NkIfLog {
 public:
  enum Level { OFF = 0, FATAL = 1, ERROR = 2, ALERT = 3, INFO = 4, DEBUG = 5, ALL = 6 };

  LogClass();
  ~LogClass() override;
  LogClass(const LogClass&) = delete;
  LogClass& operator=(const LogClass&) = delete;

  void setName(const std::string& name);
  void setLevel(int level);
  void setEcho(bool echo);
  int level() const;
  bool enabled(int level) const { return this->level() >= level; }

  // Converts the facility word, then the level word (each refused with
  // std::invalid_argument), then switches the shared destination: a file
  // opened for appending, or syslog for "" and "syslog". A file that cannot
  // be opened throws std::domain_error and leaves the destination as it was.
  void init(const std::string& target, const std::string& levelWord,
            const std::string& facilityWord, bool echo);

  void write(int level, const std::string& text);

  // norvak::base::NkIfLog
  int GetLevel() const override { return level(); }
  void Write(int level, const std::string& text) override { write(level, text); }

  static int levelFromWord(const std::string& word);
  static int facilityFromWord(const std::string& word);

  // The file the shared destination writes to; empty while it is syslog.
  static std::string fileName();
  // Opens the log file again by its name: after a rotation the records go
  // to the new file. Nothing for syslog; false (with the reason) when the
  // file cannot be opened, and the old one is kept.
  static bool reopen(std::string* failure);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

#endif  // NORVAK_MONITOR_LOG_CLASS_H_
