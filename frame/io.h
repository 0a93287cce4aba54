#ifndef NORVAK_MONITOR_IO_H_
#define NORVAK_MONITOR_IO_H_

#include <cstdint>
#include <stdexcept>
#include <string>

// Reading from descriptors under a time budget. The budget is in microseconds
// and passed by reference: every wait uses what is left and subtracts the
// time it took, never going below zero.
namespace IO {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& what) : std::runtime_error(what) {}
};

class Error : public Exception {
 public:
  explicit Error(const std::string& what) : Exception(what) {}
};

class TimeoutException : public Exception {
 public:
  explicit TimeoutException(const std::string& what) : Exception(what) {}
};

// Waits until fd is readable (or hung up). Throws TimeoutException, with the
// budget set to 0, when the budget runs out first; Error when the wait fails.
void wait_for_read(int fd, int64_t& budgetUsec);

// Appends bytes to line until a line feed (true) or another control character
// (false). End of input returns false. The line is not cleared first.
bool readLine(int fd, int64_t& budgetUsec, std::string& line);

}  // namespace IO

#endif  // NORVAK_MONITOR_IO_H_
