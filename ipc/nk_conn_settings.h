#ifndef NORVAK_IPC_NK_CONN_SETTINGS_H_
#define NORVAK_IPC_NK_CONN_SETTINGS_H_

#include <cstdint>

namespace norvak {
namespace ipc {

// How many connections a pool keeps and for how long an idle one lives.
// A maximum of 0 means "no limit"; a lifetime of 0 means "never expires".
struct ConnSettings {
  static constexpr uint32_t kMaxConnections = 65535;

  // Minimum and maximum n, lifetime and flags 0; checked.
  explicit ConnSettings(uint32_t n = 0);
  // Checked.
  ConnSettings(uint32_t min, uint32_t max, int32_t lifetime_seconds, uint8_t flag_byte = 0);

  // Raises NkParameterError for a maximum above kMaxConnections or a
  // (non-zero) maximum below the minimum.
  void Check() const;

  uint32_t min_connections;
  uint32_t max_connections;
  int32_t lifetime;
  uint8_t flags;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_CONN_SETTINGS_H_
