#include "app/Utilities.h"

#include <cmath>

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

