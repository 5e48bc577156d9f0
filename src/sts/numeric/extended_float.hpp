// The value handed between the stages of the binary32 conversion.
#pragma once

#include <cstdint>

namespace quillrow::numeric::detail {

// Settled: exponent is the biased binary32 exponent (0..255) and
// significand the fraction field, possibly with bit 23 set for a subnormal
// that rounded up into the smallest normal; the magnitude's bit pattern is
// (exponent << 23) | significand.
//
// Unsettled: significand has bit 63 set and exponent carries the mark
// -UNSETTLED_BIAS, which makes it negative; with the mark removed the pair
// approximates significand * 2^(exponent - 150), and exponent + 40 is the
// biased exponent of a normal result.  Only the digit comparison can
// resolve it.
struct ExtendedFloat {
  std::uint64_t significand;
  std::int32_t exponent;

  bool settled() const noexcept { return exponent >= 0; }

  std::uint32_t bits() const noexcept {
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(exponent) << 23) | significand);
  }

  friend bool operator==(const ExtendedFloat&, const ExtendedFloat&) = default;
};

inline constexpr std::int32_t UNSETTLED_BIAS = 32768;
inline constexpr std::int32_t INFINITE_EXPONENT = 255;
inline constexpr std::uint64_t HIDDEN_BIT = std::uint64_t{1} << 23;

}  // namespace quillrow::numeric::detail
