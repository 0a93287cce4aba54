#ifndef NORVAK_IPC_NK_EXCEPTION_H_
#define NORVAK_IPC_NK_EXCEPTION_H_

#include <pthread.h>

#include <stdexcept>
#include <string>

#include "nk_time.h"
#include "nk_timeout.h"

namespace norvak {
namespace base {

// The system's text for an error number (thread-safe).
std::string NkErrorText(int error);

// Lower-case hexadecimal without prefix, as the library's log lines print
// event masks and flags.
std::string NkHexText(unsigned value);

// A thread's identifier as the library's log lines print it.
std::string NkThreadText(pthread_t thread);

// Root of every failure the library reports.
class NkException : public std::logic_error {
 public:
  explicit NkException(const std::string& text) : std::logic_error(text) {}
};

class NkParameterError : public NkException {
 public:
  // where: the 'parameter' parameter contains invalid value 'value'
  NkParameterError(const std::string& where, const std::string& parameter,
                   const std::string& value);
  // where: the 'parameter' parameter is invalid
  NkParameterError(const std::string& where, const std::string& parameter);
};

class NkSystemError : public NkException {
 public:
  // what: [error] system text
  NkSystemError(const std::string& what, int error);
  int GetError() const { return error_; }

 private:
  int error_;
};

class NkTimedOut : public NkException {
 public:
  // what: timed out (deadline=...)
  NkTimedOut(const std::string& what, const NkTime& deadline);
  // a waiting of what: timed out (timeout=...)
  NkTimedOut(const std::string& what, const NkTimeout& timeout);
};

class NkNeedRecall : public NkException {
 public:
  explicit NkNeedRecall(const std::string& text) : NkException(text) {}
};

class NkThreadCanceled : public NkException {
 public:
  explicit NkThreadCanceled(const std::string& text) : NkException(text) {}
};

class NkSessionDestroyed : public NkThreadCanceled {
 public:
  explicit NkSessionDestroyed(const std::string& text) : NkThreadCanceled(text) {}
};

class NkSessionClosed : public NkThreadCanceled {
 public:
  explicit NkSessionClosed(const std::string& text) : NkThreadCanceled(text) {}
};

}  // namespace base
}  // namespace norvak

#endif  // NORVAK_IPC_NK_EXCEPTION_H_
