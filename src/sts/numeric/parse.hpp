// Conversion of one field token (a byte view inside the mapped file) to a
// number.  Pure functions: no allocation, no global state, no locale, no
// change of the floating-point environment.
//
// The value conversion runs its stages cheapest first: the decimal scan
// (exponent form and plain bodies of up to 16 bytes word-wise, byte-wise
// otherwise) and the fast paths (binary32, then binary64) are inline here,
// because nearly every field of a data file ends there; Eisel-Lemire and
// the big-integer digit comparison are out of line.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "sts/numeric/decimal_scan.hpp"
#include "sts/numeric/eisel_lemire.hpp"
#include "sts/numeric/exact_conversion.hpp"
#include "sts/numeric/fast_path.hpp"
#include "sts/numeric/integer.hpp"
#include "sts/numeric/short_decimal.hpp"
#include "sts/numeric/special_words.hpp"

namespace quillrow::numeric {

// Optional sign, then ASCII digits; the value must fit a signed 32-bit int.
inline std::optional<std::int32_t> parse_i32_token(std::string_view token) noexcept {
  return detail::parse_i32(token);
}

// What became of a value token.  `capacity_breach` is a defect, not a
// property of the token: the digit comparison's big integers have room for
// every token, and a caller reports it as an internal failure.
enum class F32Status : std::uint8_t { accepted, rejected, capacity_breach };

// Decimal number (or nan / inf / infinity in any case) converted to the
// nearest binary32 value, ties to even.  Returns the bit pattern.
// The row decoder's form: stores the bit pattern into `bits` and says
// whether the token was accepted.  Keeping the result out of an optional
// lets it stay in registers; an optional spilled as two narrow stores and
// reloaded as one wide load stalls store forwarding on every value.  Forced
// inline: the row decoder has one copy per instruction set, and a function
// with several callers would otherwise stay out of line.
[[gnu::always_inline]] inline F32Status parse_f32_token(std::string_view token,
                                                        std::uint32_t& bits) noexcept {
  const char* p = token.data();
  const char* const end = p + token.size();
  if (p == end) {
    return F32Status::rejected;
  }
  // Signs come and go at random from field to field: skip one without a
  // branch.
  const bool negative = *p == '-';
  p += static_cast<int>(negative | (*p == '+'));
  if (p == end) {
    return F32Status::rejected;  // a lone sign is not tried as a word
  }
  // The exponent form is tested first: its test costs one byte compare
  // for a plain decimal, which has a digit or a full stop there, while the
  // plain-decimal loop would read most of an exponent-form body in vain.
  detail::DecimalRecord record;
  if (!detail::scan_exponent_form(p, end, record)) {
    std::uint32_t plain;
    if (detail::try_plain_decimal(p, end, plain)) {
      bits = plain ^ (static_cast<std::uint32_t>(negative) << 31);
      return F32Status::accepted;
    }
    if (!detail::scan_short_decimal(p, end, record) && !detail::scan_decimal(p, end, record)) {
      const auto special = detail::parse_special_word(p, end, negative);
      bits = special.value_or(0);
      return special ? F32Status::accepted : F32Status::rejected;
    }
  }
  std::uint32_t magnitude;
  if (!detail::try_fast_path(record, magnitude) && !detail::try_binary64_path(record, magnitude)) {
    // Up to 19 digits Eisel-Lemire nearly always settles, and the record is
    // not needed again; the rest goes through the whole conversion.
    detail::ExtendedFloat f;
    if (!record.many_digits && (f = detail::compute_float(record.exponent, record.mantissa)).settled()) {
      magnitude = f.bits();
    } else {
      const auto converted = detail::convert_beyond_fast_path(record);
      if (!converted) {
        return F32Status::capacity_breach;
      }
      magnitude = *converted;
    }
  }
  // Every result, zero, infinity and NaN included, takes the sign.
  bits = magnitude ^ (static_cast<std::uint32_t>(negative) << 31);
  return F32Status::accepted;
}

// The same, as an optional bit pattern: nothing unless accepted.
inline std::optional<std::uint32_t> parse_f32_token(std::string_view token) noexcept {
  std::uint32_t bits = 0;
  if (parse_f32_token(token, bits) != F32Status::accepted) {
    return std::nullopt;
  }
  return bits;
}

}  // namespace quillrow::numeric
