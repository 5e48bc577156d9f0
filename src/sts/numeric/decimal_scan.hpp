// Decimal scan: splits the body of a value token (the bytes after an
// optional sign) into a decimal record, reading the digits exactly once.
#pragma once

#include <cstdint>

#include "sts/numeric/digit_words.hpp"

namespace quillrow::numeric::detail {

// The outcome of scanning a numeric body.  While the body has at most 19
// significant digits, value = mantissa * 10^exponent exactly; otherwise
// mantissa holds the first 19 significant digits, many_digits is set, and
// the digit views let the fallback read the rest.
struct DecimalRecord {
  std::uint64_t mantissa;
  std::int64_t exponent;
  bool many_digits;
  const char* integer_begin;
  const char* integer_end;
  const char* fraction_begin;  // nullptr when there is no decimal point
  const char* fraction_end;
};

// The digit tests and values of sts/numeric/digit_words.hpp, in the
// enclosing namespace, serve the scan unqualified.

// Accumulates a run of digits into mantissa (modulo 2^64), eight at a time
// while eight bytes of the token remain, and returns the end of the run.
inline const char* accumulate_digits(const char* p, const char* end, std::uint64_t& mantissa) noexcept {
  while (end - p >= 8) {
    const std::uint64_t w = load_eight(p);
    if (!is_eight_digits(w)) {
      break;
    }
    mantissa = mantissa * 100000000ULL + eight_digits_value(w);
    p += 8;
  }
  while (p != end && is_digit(*p)) {
    mantissa = mantissa * 10 + digit_value(*p);
    ++p;
  }
  return p;
}

// Exponents are saturated: once x reaches 2^59 further digits are consumed
// unchanged, so x stays below 10 * 2^59 < 2^63.  The bound must lie beyond
// any digit count, since the decimal point moves x by one per digit: a token
// lives in the address space (under 2^57 bytes, five-level paging
// included), so |x| - 2^57 > 2^58 still means "far out of range" after any
// shift, with its sign kept, and x - 2^57 cannot overflow either.
inline constexpr std::int64_t EXPONENT_SATURATION = std::int64_t{1} << 59;

// Rebuilds the mantissa from the first 19 significant digits when the body
// holds more than 19 digits (out of line: long tokens only).
void truncate_to_19_digits(DecimalRecord& record, std::int64_t x) noexcept;

// Scans the body [p, end).  Returns false when it is not a decimal number
// (the caller then tries the special words).
inline bool scan_decimal(const char* p, const char* end, DecimalRecord& record) noexcept {
  std::uint64_t mantissa = 0;
  const char* const integer_begin = p;
  p = accumulate_digits(p, end, mantissa);
  const char* const integer_end = p;
  const char* fraction_begin = nullptr;
  const char* fraction_end = nullptr;
  if (p != end && *p == '.') {
    ++p;
    fraction_begin = p;
    p = accumulate_digits(p, end, mantissa);
    fraction_end = p;
  }
  const std::int64_t integer_count = integer_end - integer_begin;
  const std::int64_t fraction_count = fraction_end - fraction_begin;
  if (integer_count + fraction_count == 0) {
    return false;
  }
  std::int64_t x = 0;
  if (p != end) {
    if ((static_cast<unsigned char>(*p) | 0x20) != 'e') {
      return false;
    }
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exponent_negative = *p == '-';
      ++p;
    }
    if (p == end || !is_digit(*p)) {
      return false;
    }
    do {
      if (x < EXPONENT_SATURATION) {
        x = 10 * x + static_cast<std::int64_t>(digit_value(*p));
      }
      ++p;
    } while (p != end && is_digit(*p));
    if (p != end) {
      return false;
    }
    if (exponent_negative) {
      x = -x;
    }
  }
  record.mantissa = mantissa;
  record.exponent = x - fraction_count;
  record.many_digits = false;
  record.integer_begin = integer_begin;
  record.integer_end = integer_end;
  record.fraction_begin = fraction_begin;
  record.fraction_end = fraction_end;
  if (integer_count + fraction_count > 19) {
    truncate_to_19_digits(record, x);
  }
  return true;
}

}  // namespace quillrow::numeric::detail
