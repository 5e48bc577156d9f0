// Scan of the commonest value field: a body of at most sixteen bytes made of
// digits and at most one full stop ("1204.55", "240.50000036").
// The body is read as one or two words and split without a branch per byte; the
// loop exits of a byte-wise scan, whose trip counts vary from field to
// field, are what a data file's random-looking fields mispredict most.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "sts/numeric/decimal_scan.hpp"
#include "sts/numeric/tables.hpp"

namespace quillrow::numeric::detail {

inline constexpr std::uint64_t ZERO_DIGITS = 0x3030303030303030ULL;

// The body's n bytes (1 <= n <= 8) in the low bytes of a word, first byte
// lowest, zero above.  No byte outside [p, p + n) is read: two overlapping
// four-byte loads cover 4..8 bytes, and three single bytes cover 1..3
// (overlapping bytes are equal, so OR-ing them is harmless).
inline std::uint64_t load_short(const char* p, std::size_t n) noexcept {
  if (n >= 4) {
    std::uint32_t first;
    std::uint32_t last;
    std::memcpy(&first, p, 4);
    std::memcpy(&last, p + n - 4, 4);
    if constexpr (std::endian::native == std::endian::big) {
      first = __builtin_bswap32(first);
      last = __builtin_bswap32(last);
    }
    return first | (static_cast<std::uint64_t>(last) << (8 * (n - 4)));
  }
  const auto byte = [p](std::size_t i) {
    return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  };
  return byte(0) | byte(n / 2) | byte(n - 1);
}

// Bit 7 of every byte that is not an ASCII digit, exact up to and including
// the lowest such byte (digits cause no carry or borrow into the next
// byte, so the lowest flag is never a side effect).
inline std::uint64_t non_digit_flags(std::uint64_t w) noexcept {
  return ((w + 0x4646464646464646ULL) | (w - ZERO_DIGITS)) & 0x8080808080808080ULL;
}

// Words of the low k bytes / of the bytes from k up, for 0 <= k <= 8,
// without a shift by 64.
inline std::uint64_t low_bytes_mask(std::size_t k) noexcept {
  return k == 0 ? 0 : ~std::uint64_t{0} >> (64 - 8 * k);
}

inline void fill_short_record(const char* p, const char* end, std::size_t n, std::size_t digits,
                              std::size_t point, std::uint64_t mantissa, DecimalRecord& record) noexcept {
  record.mantissa = mantissa;
  record.exponent = -static_cast<std::int64_t>(n - digits == 0 ? 0 : n - 1 - point);
  record.many_digits = false;
  record.integer_begin = p;
  record.integer_end = p + point;
  if (point == n) {
    record.fraction_begin = nullptr;
    record.fraction_end = nullptr;
  } else {
    record.fraction_begin = p + point + 1;
    record.fraction_end = end;
  }
}

// Bodies of 1..8 bytes: one word.
inline bool scan_one_word(const char* p, const char* end, std::size_t n, DecimalRecord& record) noexcept {
  std::uint64_t w = load_short(p, n);
  // Bytes past the body read as '0' so that they never count as faults.
  const std::uint64_t padding = ZERO_DIGITS & ~low_bytes_mask(n);
  const std::uint64_t flags = non_digit_flags(w | padding);
  std::size_t digits = n;
  std::size_t point = n;  // index of the full stop, n when absent
  if (flags != 0) {
    point = static_cast<std::size_t>(std::countr_zero(flags)) / 8;
    if (((w >> (8 * point)) & 0xFF) != '.') {
      return false;
    }
    // Close the gap: the bytes above the full stop move down by one.
    const std::uint64_t below = low_bytes_mask(point);
    w = (w & below) | ((w >> 8) & ~below);
    --digits;
    if (digits == 0 || non_digit_flags(w | (ZERO_DIGITS & ~low_bytes_mask(digits))) != 0) {
      return false;
    }
  }
  // Leading '0' bytes in front (the low end) make eight digits with the
  // same value.
  const std::size_t pad = 8 - digits;
  w = (w << (8 * pad)) | (ZERO_DIGITS & low_bytes_mask(pad));
  fill_short_record(p, end, n, digits, point, eight_digits_value(w), record);
  return true;
}

// Bodies of 9..16 bytes: the first eight bytes and the last eight
// (overlapping) as one 128-bit number, first byte lowest.
inline bool scan_two_words(const char* p, const char* end, std::size_t n, DecimalRecord& record) noexcept {
  using u128 = unsigned __int128;
  const std::uint64_t first = load_eight(p);
  const std::uint64_t rest = load_eight(end - 8) >> (8 * (16 - n));
  const std::uint64_t rest_padding = ZERO_DIGITS & ~low_bytes_mask(n - 8);
  // A non-digit in one word cannot disturb the other word's flags.
  const std::uint64_t first_flags = non_digit_flags(first);
  const std::uint64_t rest_flags = non_digit_flags(rest | rest_padding);
  u128 w = first | (static_cast<u128>(rest) << 64);
  std::size_t digits = n;
  std::size_t point = n;
  if ((first_flags | rest_flags) != 0) {
    point = first_flags != 0 ? static_cast<std::size_t>(std::countr_zero(first_flags)) / 8
                             : 8 + static_cast<std::size_t>(std::countr_zero(rest_flags)) / 8;
    if (static_cast<std::uint8_t>(w >> (8 * point)) != '.') {
      return false;
    }
    const u128 below = (static_cast<u128>(1) << (8 * point)) - 1;
    w = (w & below) | ((w >> 8) & ~below);
    --digits;  // 8..15
    const auto low = static_cast<std::uint64_t>(w);
    const auto high = static_cast<std::uint64_t>(w >> 64);
    if (non_digit_flags(low) != 0 ||
        non_digit_flags(high | (ZERO_DIGITS & ~low_bytes_mask(digits - 8))) != 0) {
      return false;
    }
  }
  // The last eight digits, then the 0..8 before them with '0' in front.
  const std::size_t lead = digits - 8;
  const auto tail = static_cast<std::uint64_t>(w >> (8 * lead));
  // The shift by 8 * (8 - lead) reaches 64 when lead is 0, so it is done
  // in two halves.
  const unsigned half_shift = static_cast<unsigned>(4 * (8 - lead));
  const std::uint64_t head =
      ((static_cast<std::uint64_t>(w & low_bytes_mask(lead)) << half_shift) << half_shift) |
      (ZERO_DIGITS & low_bytes_mask(8 - lead));
  const std::uint64_t mantissa =
      std::uint64_t{eight_digits_value(head)} * 100000000ULL + eight_digits_value(tail);
  fill_short_record(p, end, n, digits, point, mantissa, record);
  return true;
}

// Fills the record for a plain decimal body of 1 to 16 bytes (digits and
// at most one full stop, at least one digit) and returns true; returns
// false, having decided nothing, for any other body.
inline bool scan_short_decimal(const char* p, const char* end, DecimalRecord& record) noexcept {
  const auto n = static_cast<std::size_t>(end - p);
  if (n - 1 < 8) {  // n == 0 wraps around and fails both tests
    return scan_one_word(p, end, n, record);
  }
  if (n - 1 < 16) {
    return scan_two_words(p, end, n, record);
  }
  return false;
}

// The mantissa that %e writes, one digit, a full stop and 1 to 16 more
// ("2.552049145"): fills the record and returns true, or returns false
// having decided nothing.  The fraction digits are one word, or two for
// more than eight, each padded in front with '0' bytes to eight digits.
inline bool scan_scientific_mantissa(const char* p, const char* end, DecimalRecord& record) noexcept {
  const auto k = static_cast<std::size_t>(end - p) - 2;  // fraction digits; wraps for bodies under 2 bytes
  if (k - 1 >= 16 || p[1] != '.' || !is_digit(p[0])) {
    return false;
  }
  const char* const fraction = p + 2;
  std::uint64_t value;
  if (k <= 8) {
    const std::uint64_t w =
        (load_short(fraction, k) << (8 * (8 - k))) | (ZERO_DIGITS & low_bytes_mask(8 - k));
    if (non_digit_flags(w) != 0) {
      return false;
    }
    value = eight_digits_value(w);
  } else {
    // The first eight digits, then the last k - 8 as the top bytes of the
    // word that ends the body (it overlaps the first word).
    const std::uint64_t head = load_eight(fraction);
    const std::uint64_t pad = low_bytes_mask(16 - k);
    const std::uint64_t tail = (load_eight(end - 8) & ~pad) | (ZERO_DIGITS & pad);
    if ((non_digit_flags(head) | non_digit_flags(tail)) != 0) {
      return false;
    }
    value = std::uint64_t{eight_digits_value(head)} * POWERS_OF_TEN_U64[k - 8] + eight_digits_value(tail);
  }
  // At most 17 digits: below 10^17, exact.
  record.mantissa = digit_value(p[0]) * POWERS_OF_TEN_U64[k] + value;
  record.exponent = -static_cast<std::int64_t>(k);
  record.many_digits = false;
  record.integer_begin = p;
  record.integer_end = p + 1;
  record.fraction_begin = fraction;
  record.fraction_end = end;
  return true;
}

// Fills the record for a body in the exponent form that printf's %e writes,
// MANTISSA e SIGN d d (e or E, sign + or -), whose mantissa part is a plain
// decimal body of 1 to 16 bytes, and returns true; returns false, having
// decided nothing, for any other body.  The record is the one scan_decimal
// would fill, but every byte is read once: the four exponent bytes at known
// places, the mantissa part word-wise.
inline bool scan_exponent_form(const char* p, const char* end, DecimalRecord& record) noexcept {
  if (end - p < 5) {
    return false;
  }
  const char* const e = end - 4;
  if ((static_cast<unsigned char>(e[0]) | 0x20) != 'e' || (e[1] != '+' && e[1] != '-') || !is_digit(e[2]) ||
      !is_digit(e[3]) || (!scan_scientific_mantissa(p, e, record) && !scan_short_decimal(p, e, record))) {
    return false;
  }
  const auto x = static_cast<std::int64_t>(10 * digit_value(e[2]) + digit_value(e[3]));
  record.exponent += e[1] == '-' ? -x : x;
  return true;
}

}  // namespace quillrow::numeric::detail
