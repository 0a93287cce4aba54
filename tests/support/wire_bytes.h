#ifndef NORVAK_TESTS_SUPPORT_WIRE_BYTES_H_
#define NORVAK_TESTS_SUPPORT_WIRE_BYTES_H_

#include <cstdint>
#include <string>

// Written out by hand rather than by the library's units, so that a test
// pins the bytes on the wire instead of trusting the encoder it checks.
inline std::string BigEndian32(uint32_t value) {
  const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                         static_cast<char>(value >> 8), static_cast<char>(value)};
  return std::string(bytes, 4);
}

// A string as the wire carries it: its length first.
inline std::string DdpString(const std::string& text) {
  return BigEndian32(static_cast<uint32_t>(text.size())) + text;
}

#endif  // NORVAK_TESTS_SUPPORT_WIRE_BYTES_H_
