#ifndef NORVAK_TESTS_SUPPORT_LARGEST_ALLOCATION_H_
#define NORVAK_TESTS_SUPPORT_LARGEST_ALLOCATION_H_

// Replaces the global operator new of the test program that includes it (in
// one file only) to record the largest single allocation, so that a test can
// prove that a length announced by a peer sizes nothing before the bytes come.

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<size_t> g_largest{0};
}  // namespace

void* operator new(size_t size) {
  size_t seen = g_largest.load();
  while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// GCC cannot tell that this delete pairs with the malloc in the new above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

#endif  // NORVAK_TESTS_SUPPORT_LARGEST_ALLOCATION_H_
