// The shapes of value tokens that the vector steps of the row kernels
// convert, written once for every instruction set: which tokens a step
// takes, and the byte controls that gather their digits.  Plain scalar code
// and constant tables, compiled for the baseline (kernel_support.hpp brings
// this header in before any target region): a kernel's vector operations
// read the tables, and its generic steps (value_batch.inl,
// line_layouts.inl) call the rules.
//
// Two shapes:
// - a short plain decimal: a body (the bytes after an optional sign) of
//   digits and at most one full stop, with one to eight digits, at most
//   seven of them after the full stop ("-59.702", "100000.00").  Its
//   mantissa is below 10^8 and its divisor at most 10^7, both exact in
//   binary32 and binary64, so one binary64 division rounds it (see the
//   midpoint rule of the steps);
// - the exponent form that printf's %e writes: D.F...e±XX, one digit, a
//   full stop, one to ten fraction digits, e or E, a sign and two exponent
//   digits, 7 to 16 bytes ("-7.117242265e+01").  Its 2 to 11 mantissa
//   digits are below 10^11 and |exponent| <= 22 is the binary64 fast path.
//
// The value batch (a window line's values, four at a time) and the layouts
// (lines that repeat a line's layout) take exactly these shapes; any other
// token goes to the scalar conversion, which words the faults.
//
// The functions are always inlined: called from a kernel's code, they are
// then compiled for its instruction set, with no call on the row's path.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "sts/numeric/digit_words.hpp"

namespace quillrow::sts::kernels {

// The most digits, and the most fraction digits, of a short plain decimal.
inline constexpr unsigned PLAIN_MAX_DIGITS = 8;
inline constexpr unsigned PLAIN_MAX_FRACTION = 7;
// The longest body of a short plain decimal: its digits and a full stop.
inline constexpr unsigned PLAIN_MAX_BODY = PLAIN_MAX_DIGITS + 1;

// The shortest and longest body of the exponent form.
inline constexpr unsigned SCIENTIFIC_MIN_BODY = 7;
inline constexpr unsigned SCIENTIFIC_MAX_BODY = 16;

// Whether the symbols of a body of n bytes are those of the exponent form:
// its length, the full stop, the exponent's letter, sign and digits.  The
// mantissa digits (bytes 0 and 2 to n - 5) are left to the caller, which
// checks them in vector lanes.
[[gnu::always_inline]] inline bool scientific_symbols(const char* body, std::uint64_t n) noexcept {
  if (n - SCIENTIFIC_MIN_BODY > SCIENTIFIC_MAX_BODY - SCIENTIFIC_MIN_BODY) return false;  // wraps below 7
  const char* const e = body + n - 4;
  return body[1] == '.' && (static_cast<unsigned char>(e[0]) | 0x20) == 'e' && (e[1] == '+' || e[1] == '-') &&
         numeric::is_digit(e[2]) && numeric::is_digit(e[3]);
}

// A byte control selects byte i of a 16-byte load for i < 16, and a zero
// for NONE (PSHUFB and NEON's TBL both read it so).
inline constexpr std::uint8_t NONE = 0x80;

// Byte controls of a short plain decimal by its body length n and the place
// of its full stop (n when it has none): its digits to the top of an 8-byte
// lane, most significant first, zeros below.
inline constexpr auto PLAIN_DIGITS = [] {
  std::array<std::array<std::array<std::uint8_t, 8>, PLAIN_MAX_BODY + 1>, PLAIN_MAX_BODY + 1> controls{};
  for (unsigned n = 1; n <= PLAIN_MAX_BODY; ++n) {
    for (unsigned point = 0; point <= n; ++point) {
      auto& control = controls[n][point];
      control.fill(NONE);
      const unsigned digits = point < n ? n - 1 : n;
      if (digits == 0 || digits > PLAIN_MAX_DIGITS) continue;
      unsigned at = 8 - digits;
      for (unsigned i = 0; i < n; ++i) {
        if (i != point) control[at++] = static_cast<std::uint8_t>(i);
      }
    }
  }
  return controls;
}();

// Byte controls of the exponent form by body length n: the mantissa digits
// (bytes 0 and 2 to n - 5) to the top of a 16-byte lane, most significant
// first, zeros below.  Entry 0, for lanes that fail, selects nothing.
inline constexpr auto SCIENTIFIC_DIGITS = [] {
  std::array<std::array<std::uint8_t, 16>, SCIENTIFIC_MAX_BODY + 1> controls{};
  for (auto& control : controls)
    control.fill(NONE);
  for (unsigned n = SCIENTIFIC_MIN_BODY; n <= SCIENTIFIC_MAX_BODY; ++n) {
    const unsigned digits = n - 5;  // the leading digit and n - 6 fraction digits
    controls[n][16 - digits] = 0;
    for (unsigned i = 1; i < digits; ++i)
      controls[n][16 - digits + i] = static_cast<std::uint8_t>(1 + i);
  }
  return controls;
}();

// The shape of one value field [first, last) of a line: its body's start
// and length, its sign, which of the two shapes it has, and for a short
// plain decimal the place of its full stop (the length when it has none).
// No member initialisers: an array of them is filled shape by shape, not
// zeroed first.
struct ValueShape {
  enum Kind { unusable, plain, scientific };
  Kind kind;
  std::uint32_t body;
  std::uint32_t length;
  std::uint32_t point;
  bool negative;
};

// The shape of the body of `shape` (its `length` 1 to 16 bytes at `body`)
// from a bit per digit and a bit per full stop among its first 16 bytes
// (bits past the body are ignored): its kind and, for a short plain
// decimal, its point.
[[gnu::always_inline]] inline void classify_body(const char* body, unsigned digits, unsigned points,
                                                 ValueShape& shape) noexcept {
  const std::uint32_t n = shape.length;
  const unsigned inside = (1u << n) - 1;
  digits &= inside;
  points &= inside;
  // The exponent form: digits but for the full stop, the letter and the
  // exponent's sign.
  if (n >= SCIENTIFIC_MIN_BODY) {
    const unsigned symbols = 1u << 1 | 1u << (n - 4) | 1u << (n - 3);
    if (digits == (inside & ~symbols) && scientific_symbols(body, n)) {
      shape.kind = ValueShape::scientific;
      return;
    }
  }
  // Short plain decimals: at most one full stop, one to eight digits, at
  // most seven of them after it.
  if ((digits | points) != inside || std::popcount(points) > 1 || digits == 0 ||
      std::popcount(digits) > static_cast<int>(PLAIN_MAX_DIGITS)) {
    return;
  }
  const auto point = points != 0 ? static_cast<std::uint32_t>(std::countr_zero(points)) : n;
  if (point < n && n - 1 - point > PLAIN_MAX_FRACTION) return;
  shape.kind = ValueShape::plain;
  shape.point = point;
}

// A token of a window line split into its sign and its body.  Sixteen bytes
// from the body's start may be loaded: the window keeps that much room
// after the line.
struct BatchToken {
  const char* body;
  std::uint64_t length;
  std::uint32_t sign;  // the sign bit of the value
};

// Sixteen '0' bytes: what a lane without a body loads instead.
alignas(16) inline constexpr char ZERO_DIGIT_BYTES[16] = {'0', '0', '0', '0', '0', '0', '0', '0',
                                                          '0', '0', '0', '0', '0', '0', '0', '0'};

[[gnu::always_inline]] inline BatchToken batch_token(const char* line, std::uint32_t first,
                                                     std::uint32_t last) noexcept {
  const char* const p = line + first;
  const bool negative = *p == '-';  // fields are never empty
  const unsigned skip = negative | (*p == '+');
  return {p + skip, last - first - skip, static_cast<std::uint32_t>(negative) << 31};
}

// A token's lane of the exponent form: its body (ZERO_DIGIT_BYTES for a
// lane that fails), its shape (the body length, or 0 when the lane fails)
// and its decimal exponent, that of the mantissa digits read as an integer.
struct ScientificLane {
  const char* body;
  std::uint32_t shape;
  std::int32_t exponent;
};

[[gnu::always_inline]] inline ScientificLane scientific_lane(const BatchToken& token) noexcept {
  const char* const p = token.body;
  const std::uint64_t n = token.length;
  if (!scientific_symbols(p, n)) return {ZERO_DIGIT_BYTES, 0, 0};
  const char* const e = p + n - 4;
  const auto x = static_cast<std::int32_t>(10 * numeric::digit_value(e[2]) + numeric::digit_value(e[3]));
  return {p, static_cast<std::uint32_t>(n), (e[1] == '-' ? -x : x) - static_cast<std::int32_t>(n - 6)};
}

// The sign bits of four lanes, for each combination of negative lanes: a
// vector built from four general registers would cost a chain of inserts.
alignas(16) inline constexpr auto SIGN_LANES = [] {
  std::array<std::array<std::uint32_t, 4>, 16> lanes{};
  for (unsigned negative = 0; negative < 16; ++negative) {
    for (unsigned lane = 0; lane < 4; ++lane)
      lanes[negative][lane] = ((negative >> lane) & 1) << 31;
  }
  return lanes;
}();

// The row of SIGN_LANES for four tokens.
[[gnu::always_inline]] inline const std::uint32_t* sign_lanes(const BatchToken* tokens) noexcept {
  const unsigned negative = tokens[0].sign >> 31 | (tokens[1].sign >> 31) << 1 | (tokens[2].sign >> 31) << 2 |
                            (tokens[3].sign >> 31) << 3;
  return SIGN_LANES[negative].data();
}

}  // namespace quillrow::sts::kernels
