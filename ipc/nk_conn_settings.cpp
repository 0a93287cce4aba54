#include "nk_conn_settings.h"

#include <string>

#include "nk_exception.h"

namespace norvak {
namespace ipc {

ConnSettings::ConnSettings(uint32_t n)
    : min_connections(n), max_connections(n), lifetime(0), flags(0) {
  Check();
}

ConnSettings::ConnSettings(uint32_t min, uint32_t max, int32_t lifetime_seconds, uint8_t flag_byte)
    : min_connections(min), max_connections(max), lifetime(lifetime_seconds), flags(flag_byte) {
  Check();
}

void ConnSettings::Check() const {
  if (max_connections > kMaxConnections) {
    throw base::NkParameterError("ConnSettings::Check", "max number of connections",
                                 std::to_string(max_connections) + "(too much)");
  }
  if (max_connections != 0 && max_connections < min_connections) {
    throw base::NkParameterError(
        "ConnSettings::Check", "min is greater than max",
        std::to_string(min_connections) + ">" + std::to_string(max_connections));
  }
}

}  // namespace ipc
}  // namespace norvak
