#include "common/MemoryTrim.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

bool ReturnFreedMemory() {
#if defined(__GLIBC__)
  // Also releases whole free pages inside the heap, not only at its top.
  return malloc_trim(0) != 0;
#else
  return false;
#endif
}
