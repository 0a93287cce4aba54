#ifndef NORVAK_IPC_NK_READY_H_
#define NORVAK_IPC_NK_READY_H_

#include <poll.h>

#include <vector>

#include "nk_timeout.h"

namespace norvak {
namespace ipc {

// One poll(2) over every entry. Returns the index of the first entry with
// events (revents filled in for all), or -1 when the time-out passed first.
// EINTR restarts the wait with the time that is left; other failures raise.
int SelectReady(std::vector<pollfd>& entries, const base::NkTimeout& timeout);

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_READY_H_
