#include "nk_log.h"

#include <atomic>

namespace norvak {
namespace base {

namespace {
std::atomic<NkIfLog*> g_log{nullptr};
}  // namespace

void NkSetLog(NkIfLog* log) { g_log.store(log); }

bool NkLogEnabled(int level) {
  NkIfLog* log = g_log.load();
  return log != nullptr && log->GetLevel() >= level;
}

void NkLog(int level, const std::string& text) {
  NkIfLog* log = g_log.load();
  if (log != nullptr && log->GetLevel() >= level) log->Write(level, text);
}

}  // namespace base
}  // namespace norvak
