// Clinger's fast path: when the mantissa and the power of ten are both
// exact binary32 values, one IEEE multiplication or division rounds the
// exact quotient or product once, to nearest with ties to even, which is
// the correctly rounded result.
#pragma once

#include <bit>
#include <cstdint>

#include "sts/numeric/decimal_scan.hpp"
#include "sts/numeric/tables.hpp"

namespace quillrow::numeric::detail {

inline constexpr std::uint64_t MAX_EXACT_F32_INTEGER = std::uint64_t{1} << 24;

// Sets bits to the magnitude and returns true when the fast path applies.
inline bool try_fast_path(const DecimalRecord& record, std::uint32_t& bits) noexcept {
  const std::int64_t e = record.exponent;
  if (record.many_digits || e < -10 || e > 17 || record.mantissa > MAX_EXACT_F32_INTEGER) {
    return false;
  }
  // mantissa <= 2^24 converts exactly; the int32 detour gives the cheaper
  // signed conversion instruction.
  float value;
  if (e <= 10) {
    value = static_cast<float>(static_cast<std::int32_t>(record.mantissa));
    if (e < 0) {
      value = value / POWERS_OF_TEN_F32[-e];
    } else {
      value = value * POWERS_OF_TEN_F32[e];
    }
  } else {
    // 10^11..10^17 are not exact in binary32, but a small mantissa can
    // absorb the excess powers and stay an exact integer: 12e15 becomes
    // 1200000 * 10^10.
    std::uint64_t scaled;
    if (__builtin_mul_overflow(record.mantissa, POWERS_OF_TEN_U64[e - 10], &scaled) ||
        scaled > MAX_EXACT_F32_INTEGER) {
      return false;
    }
    value = static_cast<float>(static_cast<std::int32_t>(scaled)) * POWERS_OF_TEN_F32[10];
  }
  bits = std::bit_cast<std::uint32_t>(value);
  return true;
}

// Clinger's fast path in binary64, for mantissas of up to 53 bits (ten
// significant digits and more) and |exponent| <= 22: one binary64
// multiplication or division rounds w * 10^q once, to the nearest double
// d.  Rounding d on to binary32 is then the correct rounding of the exact
// value unless d is a binary32 rounding midpoint: every midpoint is itself
// a double (a binary32 has 29 bits fewer), rounding to nearest is
// monotonic, so the exact value lies on d's side of every midpoint other
// than d.  The results lie between 10^-22 and 2^53 * 10^22 < 2^127, all
// normal binary32 values, whose midpoints are the doubles whose low 29
// significand bits are 1 followed by 28 zeros; those, and only those, are
// left to Eisel-Lemire.
inline bool try_binary64_path(const DecimalRecord& record, std::uint32_t& bits) noexcept {
  const std::int64_t e = record.exponent;
  if (record.many_digits || e < -22 || e > 22 || record.mantissa > (std::uint64_t{1} << 53)) {
    return false;
  }
  double value = static_cast<double>(static_cast<std::int64_t>(record.mantissa));
  if (e < 0) {
    value = value / POWERS_OF_TEN_F64[-e];
  } else {
    value = value * POWERS_OF_TEN_F64[e];
  }
  constexpr std::uint64_t low_bits = (std::uint64_t{1} << 29) - 1;
  constexpr std::uint64_t midpoint = std::uint64_t{1} << 28;
  if ((std::bit_cast<std::uint64_t>(value) & low_bits) == midpoint) {
    return false;
  }
  bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
  return true;
}

// The commonest value field in one pass: digits, an optional full stop and
// more digits, at most 17 bytes (so at most 17 digits: the mantissa is
// exact), whose value the fast path can take.  Returns false, having
// decided nothing, for any other body; the full scan then reads it again.
inline bool try_plain_decimal(const char* p, const char* end, std::uint32_t& bits) noexcept {
  if (end - p > 17) {
    return false;
  }
  std::uint64_t mantissa = 0;
  const char* q = p;
  for (; q != end && is_digit(*q); ++q) {
    mantissa = 10 * mantissa + digit_value(*q);
  }
  std::size_t fraction_digits = 0;
  if (q != end) {
    if (*q != '.') {
      return false;
    }
    const char* fraction = ++q;
    for (; q != end && is_digit(*q); ++q) {
      mantissa = 10 * mantissa + digit_value(*q);
    }
    if (q != end) {
      return false;
    }
    fraction_digits = static_cast<std::size_t>(q - fraction);
    if (fraction_digits == 0 && fraction == p + 1) {
      return false;  // a lone full stop
    }
  }
  if (mantissa > MAX_EXACT_F32_INTEGER || fraction_digits > 10) {
    return false;
  }
  float value = static_cast<float>(static_cast<std::int32_t>(mantissa));
  if (fraction_digits != 0) {
    value = value / POWERS_OF_TEN_F32[fraction_digits];
  }
  bits = std::bit_cast<std::uint32_t>(value);
  return true;
}

}  // namespace quillrow::numeric::detail
