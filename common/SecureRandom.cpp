#include "common/SecureRandom.h"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <stdexcept>

void SecureRandomBytes(void* buffer, unsigned size) {
  auto* p = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < size) {
    ssize_t n = getrandom(p + done, size - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("secure random source unavailable");
    }
    done += static_cast<size_t>(n);
  }
}

uint32_t SecureRandomRange(uint32_t low, uint32_t high) {
  if (high <= low) return low;
  const uint64_t span = static_cast<uint64_t>(high) - low + 1;
  // Reject the top slice that would make some values more likely.
  const uint64_t limit = (uint64_t{1} << 32) - ((uint64_t{1} << 32) % span);
  for (;;) {
    uint32_t r;
    SecureRandomBytes(&r, sizeof r);
    if (r < limit) return low + static_cast<uint32_t>(r % span);
  }
}
