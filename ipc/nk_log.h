#ifndef NORVAK_IPC_NK_LOG_H_
#define NORVAK_IPC_NK_LOG_H_

#include <string>

namespace norvak {
namespace base {

// Levels shared with the program's loggers: a message of level L is written
// when the sink's level is at least L.
enum NkLogLevel {
  NK_LOG_OFF = 0,
  NK_LOG_FATAL = 1,
  NK_LOG_ERROR = 2,
  NK_LOG_ALERT = 3,
  NK_LOG_INFO = 4,
  NK_LOG_DEBUG = 5,
  NK_LOG_ALL = 6
};

// Where the library's messages go. The library knows nothing of the program
// that uses it; the program installs its IPC logger here.
class NkIfLog {
 public:
  virtual ~NkIfLog() = default;
  virtual int GetLevel() const = 0;
  virtual void Write(int level, const std::string& text) = 0;
};

// Installs the sink (not owned; it must outlive every library call).
// Null, the initial state, silences the library. The protocol-error count
// starts afresh with every sink.
void NkSetLog(NkIfLog* log);

bool NkLogEnabled(int level);
void NkLog(int level, const std::string& text);

inline void NkLogDebug(const std::string& text) { NkLog(NK_LOG_DEBUG, text); }
inline void NkLogInfo(const std::string& text) { NkLog(NK_LOG_INFO, text); }
inline void NkLogAlert(const std::string& text) { NkLog(NK_LOG_ALERT, text); }
inline void NkLogError(const std::string& text) { NkLog(NK_LOG_ERROR, text); }
inline void NkLogFatal(const std::string& text) { NkLog(NK_LOG_FATAL, text); }

// An error record a peer provoked (a bad frame, a stalled or vanished
// client, a failed accept): at most ten are written a second, the rest are
// counted (see NkLogLimiter).
void NkLogProtocolError(const std::string& text);

}  // namespace base
}  // namespace norvak

#endif  // NORVAK_IPC_NK_LOG_H_
