#include "nk_interruption.h"

#include <atomic>

namespace norvak {
namespace base {

namespace {
std::atomic<NkInterruptionHook> g_hook{nullptr};
}  // namespace

void NkSetInterruptionHook(NkInterruptionHook hook) { g_hook.store(hook); }

void NkRunInterruptionHook() {
  NkInterruptionHook hook = g_hook.load();
  if (hook != nullptr) hook();
}

}  // namespace base
}  // namespace norvak
