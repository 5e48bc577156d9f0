// Eisel-Lemire: the decimal w * 10^q times a 128-bit truncation of 5^q,
// which settles the binary32 result unless the truncation error could move
// it across a rounding boundary.
#pragma once

#include <cstdint>

#include "sts/numeric/extended_float.hpp"

namespace quillrow::numeric::detail {

// Nearest binary32 to w * 10^q, or an unsettled approximation.
ExtendedFloat compute_float(std::int64_t q, std::uint64_t w) noexcept;

// The unsettled approximation of w * 10^q for -65 <= q <= 38 and w != 0,
// whatever the product's low word: used when digits beyond the 19th may
// decide the rounding.
ExtendedFloat compute_unsettled(std::int64_t q, std::uint64_t w) noexcept;

}  // namespace quillrow::numeric::detail
