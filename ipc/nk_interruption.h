#ifndef NORVAK_IPC_NK_INTERRUPTION_H_
#define NORVAK_IPC_NK_INTERRUPTION_H_

namespace norvak {
namespace base {

// Called between the one-second slices of every blocking wait so that a
// thread that is being cancelled can leave (for instance by throwing
// boost::thread_interrupted from an interruption point). Null, the initial
// state, means no hook.
using NkInterruptionHook = void (*)();

void NkSetInterruptionHook(NkInterruptionHook hook);
// Runs the installed hook, if any; whatever it throws passes to the caller.
void NkRunInterruptionHook();

}  // namespace base
}  // namespace norvak

#endif  // NORVAK_IPC_NK_INTERRUPTION_H_
