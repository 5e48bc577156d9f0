// The special value words of a value token: nan, inf, infinity.
#pragma once

#include <cstdint>
#include <optional>

namespace quillrow::numeric::detail {

inline constexpr std::uint32_t F32_NAN_BITS = 0x7FC00000;
inline constexpr std::uint32_t F32_INFINITY_BITS = 0x7F800000;
inline constexpr std::uint32_t F32_SIGN_BIT = 0x80000000;

// Bits of a body [p, end) that failed the decimal scan: nan, inf or
// infinity in any letter case, with the sign applied; otherwise rejected.
std::optional<std::uint32_t> parse_special_word(const char* p, const char* end, bool negative) noexcept;

}  // namespace quillrow::numeric::detail
