#include "nk_exception.h"

#include <string.h>

#include <cstdio>
#include <sstream>

namespace norvak {
namespace base {

std::string NkErrorText(int error) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(error, buffer, sizeof(buffer));
  return text != nullptr ? text : "Unknown error " + std::to_string(error);
}

std::string NkThreadText(pthread_t thread) {
  std::ostringstream text;
  text << thread;
  return text.str();
}

std::string NkHexText(unsigned value) {
  char text[16];
  snprintf(text, sizeof(text), "%x", value);
  return text;
}

NkParameterError::NkParameterError(const std::string& where, const std::string& parameter,
                                   const std::string& value)
    : NkException(where + ": the '" + parameter + "' parameter contains invalid value '" +
                  value + "'") {}

NkParameterError::NkParameterError(const std::string& where, const std::string& parameter)
    : NkException(where + ": the '" + parameter + "' parameter is invalid") {}

NkSystemError::NkSystemError(const std::string& what, int error)
    : NkException(what + ": [" + std::to_string(error) + "] " + NkErrorText(error)),
      error_(error) {}

NkTimedOut::NkTimedOut(const std::string& what, const NkTime& deadline)
    : NkException(what + ": timed out (deadline=" + deadline.ToString() + ")") {}

NkTimedOut::NkTimedOut(const std::string& what, const NkTimeout& timeout)
    : NkException("a waiting of " + what + ": timed out (timeout=" + timeout.ToString() + ")") {}

}  // namespace base
}  // namespace norvak
