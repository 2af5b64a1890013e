#include "common/ThreadAllocatorCache.h"

#include <cstddef>

// jemalloc's control entry point, present only where jemalloc is linked in:
// a weak reference stays null elsewhere instead of failing the link.
extern "C" int mallctl(const char* name, void* oldValue, size_t* oldSize, void* newValue, size_t newSize)
    __attribute__((weak));

void ReleaseThreadAllocatorCache() {
  if (mallctl) mallctl("thread.tcache.flush", nullptr, nullptr, nullptr, 0);
}
