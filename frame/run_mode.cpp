#include "frame/run_mode.h"

#include <atomic>

const char* const kProgramName = "norvak-monitor";
const char* const kProgramTitle = "Norvak (R) Components Monitor";
const char* const kProgramVersion = "6.0.0.201105110";

namespace {
std::atomic<bool> g_checkMode{false};
std::atomic<bool> g_checkAll{false};
std::atomic<bool> g_checkError{false};
std::atomic<void (*)()> g_firstRunSetHook{nullptr};
}  // namespace

void setRunModes(bool checkMode, bool checkAll) {
  g_checkMode = checkMode || checkAll;
  g_checkAll = checkAll;
}
bool isCheckMode() { return g_checkMode; }
bool isCheckAll() { return g_checkAll; }
bool isNormalMode() { return !g_checkMode && !g_checkAll; }
bool hasCheckError() { return g_checkError; }
void setCheckError() { g_checkError = true; }
void setFirstRunSetHook(void (*hook)()) { g_firstRunSetHook = hook; }
void firstRunSetStarted() {
  if (auto hook = g_firstRunSetHook.load()) hook();
}
