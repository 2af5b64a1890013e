#include "database/Extended80.h"

#include <bit>
#include <cmath>
#include <limits>

namespace {

constexpr int kBias = 16383;
constexpr uint16_t kSignBit = 0x8000;
constexpr uint16_t kMaxExponent = 0x7FFF;
constexpr uint64_t kIntegerBit = uint64_t{1} << 63;

}  // namespace

TExtended80 TExtended80::FromDouble(double value) {
  TExtended80 x;
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  const uint16_t sign = (bits >> 63) ? kSignBit : 0;
  if (std::isnan(value)) {
    // Keep the payload: double's 52 fraction bits sit at the top of the 63.
    x.Significand = kIntegerBit | ((bits & ((uint64_t{1} << 52) - 1)) << 11);
    x.SignExponent = sign | kMaxExponent;
    return x;
  }
  if (std::isinf(value)) {
    x.Significand = kIntegerBit;
    x.SignExponent = sign | kMaxExponent;
    return x;
  }
  if (value == 0) {
    x.SignExponent = sign;
    return x;
  }
  int exponent = 0;
  const double fraction = std::frexp(std::fabs(value), &exponent);  // [0.5, 1), exact
  x.Significand = static_cast<uint64_t>(std::ldexp(fraction, 64));   // integer bit set, exact
  x.SignExponent = static_cast<uint16_t>(sign | (exponent - 1 + kBias));
  return x;
}

double TExtended80::ToDouble() const {
  const bool negative = (SignExponent & kSignBit) != 0;
  const int biased = SignExponent & kMaxExponent;
  const auto withSign = [negative](double v) { return negative ? -v : v; };
  if (biased == kMaxExponent) {
    // Only the 63 fraction bits tell infinity from NaN.
    if ((Significand << 1) == 0) return withSign(std::numeric_limits<double>::infinity());
    return withSign(std::numeric_limits<double>::quiet_NaN());
  }
  if (Significand == 0) return withSign(0.0);

  // value = Significand * 2^(exponent - 63); denormals use exponent 1 - bias.
  int exponent = (biased == 0 ? 1 : biased) - kBias;
  uint64_t m = Significand;
  const int leading = std::countl_zero(m);
  m <<= leading;
  exponent -= leading;  // now m has its top bit set: value = 1.f * 2^exponent
  if (exponent > 1023) return withSign(std::numeric_limits<double>::infinity());

  // Significant bits double can keep at this exponent: 53, fewer when subnormal.
  const int keep = exponent >= -1022 ? 53 : 53 + exponent + 1022;
  if (keep < 0) return withSign(0.0);  // below half the smallest subnormal
  const int drop = 64 - keep;          // 11..64
  uint64_t kept = drop >= 64 ? 0 : m >> drop;
  const uint64_t rest = drop >= 64 ? m : m & ((uint64_t{1} << drop) - 1);
  const uint64_t half = uint64_t{1} << (drop - 1);
  if (rest > half || (rest == half && (kept & 1) != 0)) ++kept;
  // kept has at most 54 bits, so it converts exactly; ldexp then only scales.
  return withSign(std::ldexp(static_cast<double>(kept), exponent - 63 + drop));
}

void TExtended80::ToBytes(uint8_t out[kBytes]) const {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(Significand >> (8 * i));
  out[8] = static_cast<uint8_t>(SignExponent);
  out[9] = static_cast<uint8_t>(SignExponent >> 8);
}

TExtended80 TExtended80::FromBytes(const uint8_t in[kBytes]) {
  TExtended80 x;
  for (int i = 0; i < 8; ++i) x.Significand |= static_cast<uint64_t>(in[i]) << (8 * i);
  x.SignExponent = static_cast<uint16_t>(in[8] | (in[9] << 8));
  return x;
}
