#ifndef NORVAK_TESTS_SUPPORT_WAIT_UTIL_H_
#define NORVAK_TESTS_SUPPORT_WAIT_UTIL_H_

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "file_util.h"

// Polls cond until it holds; the deadline is generous so that slow or
// sanitized builds never fail on speed.
template <typename Cond>
bool waitUntil(Cond cond, int seconds = 30) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline size_t lineCount(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Waits until the file holds the text.
inline bool waitForText(const std::string& path, const std::string& text) {
  return waitUntil([&] { return readFile(path).find(text) != std::string::npos; });
}

// Waits until the file holds at least n lines.
inline bool waitForLines(const std::string& path, size_t n) {
  return waitUntil([&] { return lineCount(readFile(path)) >= n; });
}

#endif  // NORVAK_TESTS_SUPPORT_WAIT_UTIL_H_
