#ifndef NORVAK_TESTS_SUPPORT_THROWN_TEXT_H_
#define NORVAK_TESTS_SUPPORT_THROWN_TEXT_H_

#include <string>

// The text of the E that fn throws, or a marker no real message matches.
// Any other exception escapes and fails the test.
template <typename E, typename Fn>
std::string thrownText(Fn&& fn) {
  try {
    fn();
  } catch (const E& e) {
    return e.what();
  }
  return "<nothing thrown>";
}

#endif  // NORVAK_TESTS_SUPPORT_THROWN_TEXT_H_
