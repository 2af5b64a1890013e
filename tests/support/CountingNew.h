// Counts heap allocations in a test or benchmark binary: the global
// operator new is replaced by one that counts while `counting` is set, on
// every thread but those that called LeaveThisThreadUncounted (a benchmark's
// own client thread, whose receiving is not the server's cost).
//
// Include in exactly one source file of a binary: it defines the replacement
// operators. The counters are atomics; any thread.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace counting_new {

inline std::atomic<bool> counting{false};
inline std::atomic<long> allocations{0};
inline thread_local bool uncounted = false;

inline void LeaveThisThreadUncounted() { uncounted = true; }

}  // namespace counting_new

// The replacement pair allocates with malloc and frees with free; the
// compiler cannot see that the two belong together.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  if (counting_new::counting.load(std::memory_order_relaxed) && !counting_new::uncounted)
    counting_new::allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
