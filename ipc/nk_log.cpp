#include "nk_log.h"

#include <atomic>

#include "nk_log_limiter.h"

namespace norvak {
namespace base {

namespace {
std::atomic<NkIfLog*> g_log{nullptr};

// Never destroyed: threads that outlive main may still log.
NkLogLimiter& ProtocolErrors() {
  static NkLogLimiter* limiter = new NkLogLimiter;
  return *limiter;
}

}  // namespace

void NkSetLog(NkIfLog* log) {
  g_log.store(log);
  ProtocolErrors().Reset();
}

bool NkLogEnabled(int level) {
  NkIfLog* log = g_log.load();
  return log != nullptr && log->GetLevel() >= level;
}

void NkLog(int level, const std::string& text) {
  NkIfLog* log = g_log.load();
  if (log != nullptr && log->GetLevel() >= level) log->Write(level, text);
}

void NkLogProtocolError(const std::string& text) { ProtocolErrors().Error(text); }

}  // namespace base
}  // namespace norvak
