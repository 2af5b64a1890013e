#include "app/Utilities.h"

#include <cmath>
#include <cstdio>

#include "common/SecureRandom.h"

std::string RandomString(int length) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz1234567890";
  std::string s;
  while (static_cast<int>(s.size()) < length) {
    // Draw 0..35 and retry on 0: the alphabet's last character never appears.
    uint32_t r;
    do {
      r = SecureRandomRange(0, 35);
    } while (r == 0);
    s.push_back(kAlphabet[r - 1]);
  }
  return s;
}

std::string FormatUptime(uint32_t seconds) {
  const uint32_t days = seconds / 86400, hours = (seconds / 3600) % 24, minutes = (seconds / 60) % 60,
                 secs = seconds % 60;
  char buf[48];
  if (days > 0)
    std::snprintf(buf, sizeof buf, "%uD %02u:%02u:%02u", days, hours, minutes, secs);
  else
    std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", hours, minutes, secs);
  return buf;
}
