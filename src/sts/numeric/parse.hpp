// Conversion of one field token (a byte view inside the mapped file) to a
// number.  Pure functions: no allocation, no global state, no locale, no
// change of the floating-point environment.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillrow::numeric {

// Optional sign, then ASCII digits; the value must fit a signed 32-bit int.
std::optional<std::int32_t> parse_i32_token(std::string_view token) noexcept;

// Decimal number (or nan / inf / infinity in any case) converted to the
// nearest binary32 value, ties to even.  Returns the bit pattern.
std::optional<std::uint32_t> parse_f32_token(std::string_view token) noexcept;

}  // namespace quillrow::numeric
