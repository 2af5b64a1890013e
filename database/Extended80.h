// TExtended80: a number in the 80-bit extended format that the database file
// uses for float entries (sign bit, 15-bit exponent biased by 16383, 64-bit
// significand with an explicit integer bit), kept as its raw fields so that
// a value loaded from a file is saved back bit for bit. The conversions work
// on plain integers and double: the result never depends on what the
// compiler's long double happens to be.
//
// Thread-safety: a plain value.
#pragma once

#include <cstdint>

struct TExtended80 {
  uint64_t Significand = 0;
  uint16_t SignExponent = 0;  // bit 15: sign; bits 0..14: biased exponent

  static constexpr int kBytes = 10;

  // Exact for every double, infinities and NaNs included.
  static TExtended80 FromDouble(double value);
  // Rounded to nearest (ties to even) where double has fewer bits; values
  // beyond double's range become infinities or zeros.
  double ToDouble() const;

  // Little-endian: eight bytes of significand, then two of sign and exponent.
  void ToBytes(uint8_t out[kBytes]) const;
  static TExtended80 FromBytes(const uint8_t in[kBytes]);

  friend bool operator==(const TExtended80& a, const TExtended80& b) {
    return a.Significand == b.Significand && a.SignExponent == b.SignExponent;
  }
};
