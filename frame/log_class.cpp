#include "frame/log_class.h"

#include <pthread.h>
#include <strings.h>
#include <syslog.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <stdexcept>

namespace {

// The destination shared by every logger of the process.
std::mutex g_outputMutex;
FILE* g_file = nullptr;
std::string g_fileName;

struct LevelInfo {
  const char* printed;
  int priority;
};

const LevelInfo kLevels[] = {
    {" OFF ", LOG_EMERG}, {" FATAL ", LOG_CRIT}, {" ERROR ", LOG_ERR},
    {" WARN ", LOG_WARNING}, {" INFO ", LOG_INFO}, {" DEBUG ", LOG_DEBUG},
    {" ALL ", LOG_DEBUG}};

const LevelInfo& levelInfo(int level) {
  if (level < LogClass::OFF || level > LogClass::ALL) return kLevels[LogClass::ALL];
  return kLevels[level];
}

// ctime/asctime text with the final newline turned into a blank.
std::string stamp(bool asAsctime) {
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  char buf[64];
  if (asAsctime) {
    asctime_r(&tmv, buf);
  } else {
    ctime_r(&now, buf);
  }
  std::string s(buf);
  if (!s.empty() && s.back() == '\n') s.back() = ' ';
  return s;
}

}  // namespace

struct LogClass::State {
  std::atomic<int> level{DEBUG};
  std::atomic<int> facility{LOG_MAIL};
  std::atomic<bool> echo{false};
  std::string name;
};

LogClass::LogClass() : state_(new State) {}
LogClass::~LogClass() = default;

void LogClass::setName(const std::string& name) {
  // Every reload names the loggers again while other threads are writing
  // with the name: only an actual change may touch the string.
  if (state_->name != name) state_->name = name;
}
void LogClass::setLevel(int level) { state_->level = level; }
void LogClass::setEcho(bool echo) { state_->echo = echo; }
int LogClass::level() const { return state_->level; }

int LogClass::levelFromWord(const std::string& word) {
  static const struct {
    const char* word;
    int level;
  } kWords[] = {{"quiet", OFF}, {"error", ERROR}, {"alert", ALERT}, {"info", INFO}, {"debug", DEBUG}};
  for (const auto& w : kWords) {
    if (strcasecmp(word.c_str(), w.word) == 0) return w.level;
  }
  throw std::invalid_argument("Error in level value " + word +
                              ". Use Quiet | Error | Alert | Info | Debug");
}

int LogClass::facilityFromWord(const std::string& word) {
  static const struct {
    const char* word;
    int facility;
  } kWords[] = {{"daemon", LOG_DAEMON}, {"mail", LOG_MAIL},     {"local0", LOG_LOCAL0},
                {"local1", LOG_LOCAL1}, {"local2", LOG_LOCAL2}, {"local3", LOG_LOCAL3},
                {"local4", LOG_LOCAL4}, {"local5", LOG_LOCAL5}, {"local6", LOG_LOCAL6},
                {"local7", LOG_LOCAL7}};
  for (const auto& w : kWords) {
    if (strcasecmp(word.c_str(), w.word) == 0) return w.facility;
  }
  throw std::invalid_argument("Error in SyslogFacility value " + word +
                              ". Use Daemon | Mail | Local0-7\n");
}

std::string LogClass::fileName() {
  std::lock_guard<std::mutex> lock(g_outputMutex);
  return g_fileName;
}

bool LogClass::reopen(std::string* failure) {
  std::lock_guard<std::mutex> lock(g_outputMutex);
  if (g_file == nullptr) return true;
  FILE* f = fopen(g_fileName.c_str(), "ae");
  if (f == nullptr) {
    *failure = "error in open log file " + g_fileName + " for writing: " + strerror(errno);
    return false;
  }
  fclose(g_file);
  g_file = f;
  return true;
}

void LogClass::init(const std::string& target, const std::string& levelWord,
                    const std::string& facilityWord, bool echo) {
  int facility = facilityFromWord(facilityWord);
  int level = levelFromWord(levelWord);
  state_->level = level;
  state_->facility = facility;
  {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    if (!target.empty() && target != "syslog") {
      FILE* f = fopen(target.c_str(), "ae");
      if (f == nullptr) {
        throw std::domain_error("error in open log file " + target +
                                " for writing: " + strerror(errno));
      }
      if (g_file != nullptr) fclose(g_file);
      g_file = f;
      g_fileName = target;
    } else if (g_file != nullptr) {
      fclose(g_file);
      g_file = nullptr;
      g_fileName.clear();
    }
  }
  state_->echo = echo;
}

void LogClass::write(int level, const std::string& text) {
  if (state_->level < level) return;
  char tag[32];
  snprintf(tag, sizeof tag, "[%p] ", reinterpret_cast<void*>(pthread_self()));
  const LevelInfo& info = levelInfo(level);
  {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    if (g_file == nullptr) {
      syslog(info.priority | state_->facility, "%s%s%s%s", tag, state_->name.c_str(),
             info.printed, text.c_str());
    } else {
      std::string line = stamp(false) + tag + state_->name + info.printed + text + "\n";
      fputs(line.c_str(), g_file);
      // Every line is flushed, info included: a daemon killed hard must not
      // take its last records with it, and people follow the file live.
      fflush(g_file);
    }
  }
  if (state_->echo) {
    std::string line = stamp(true) + tag + state_->name + info.printed + text + "\n";
    fputs(line.c_str(), stdout);
    fflush(stdout);
  }
}
