// Signed 32-bit integer fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "sts/numeric/decimal_scan.hpp"

namespace quillrow::numeric::detail {

// Optional sign, then digits.  Negative values accumulate downwards
// (v = 10v - d) so that -2147483648 is reached without passing through
// +2147483648.  Seven digits cannot overflow; from the eighth on each step
// is checked, so any number of leading zeros is fine.
inline std::optional<std::int32_t> parse_i32(std::string_view token) noexcept {
  const char* p = token.data();
  const char* const end = p + token.size();
  if (p == end) {
    return std::nullopt;
  }
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
    if (p == end) {
      return std::nullopt;
    }
  }
  const std::int32_t sign = negative ? -1 : 1;
  std::int32_t value = 0;
  const char* const unchecked_end = end - p > 7 ? p + 7 : end;
  for (; p != unchecked_end; ++p) {
    if (!is_digit(*p)) {
      return std::nullopt;
    }
    value = 10 * value + sign * static_cast<std::int32_t>(digit_value(*p));
  }
  for (; p != end; ++p) {
    if (!is_digit(*p)) {
      return std::nullopt;
    }
    if (__builtin_mul_overflow(value, 10, &value) ||
        __builtin_add_overflow(value, sign * static_cast<std::int32_t>(digit_value(*p)), &value)) {
      return std::nullopt;
    }
  }
  return value;
}

}  // namespace quillrow::numeric::detail
