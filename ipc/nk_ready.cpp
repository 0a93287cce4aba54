#include "nk_ready.h"

#include <cerrno>
#include <string>

#include "nk_deadline.h"
#include "nk_exception.h"
#include "nk_log.h"

namespace norvak {
namespace ipc {

int SelectReady(std::vector<pollfd>& entries, const base::NkTimeout& timeout) {
  const base::NkDeadline deadline(timeout);
  const size_t count = entries.size();
  for (;;) {
    const base::NkTimeout left = deadline.Remaining();
    int ready = poll(entries.data(), count, left.AsPollTimeout());
    if (ready < 0) {
      int error = errno;
      if (error == EINTR) continue;
      const std::string text = "multiplexor waiting for " + std::to_string(count) +
                               " connections was failed :" + base::NkErrorText(error);
      base::NkLogError(text);
      throw base::NkSystemError(text, error);
    }
    if (ready == 0) {
      // poll may wake a hair early; only a passed deadline is a time-out.
      if (!deadline.IsPassed()) continue;
      return -1;
    }
    for (size_t i = 0; i < count; ++i) {
      if (entries[i].revents != 0) return static_cast<int>(i);
    }
    base::NkLogError("::SelectReady - poller method doesn't return ready connections");
    throw base::NkException("::SelectReady - poller method doesn't return ready connections");
  }
}

}  // namespace ipc
}  // namespace norvak
