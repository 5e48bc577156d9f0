#include "sts/numeric/eisel_lemire.hpp"

#include <bit>

#include "sts/numeric/tables.hpp"

namespace quillrow::numeric::detail {

namespace {

struct Product128 {
  std::uint64_t high;
  std::uint64_t low;
};

Product128 full_product(std::uint64_t a, std::uint64_t b) noexcept {
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return {static_cast<std::uint64_t>(r >> 64), static_cast<std::uint64_t>(r)};
}

// floor(log2(10^q)) + 63.  217706 / 65536 approximates log2(10) closely
// enough that the floor is exact for -342 <= q <= 308; the right shift of
// a negative product is arithmetic (defined since C++20), i.e. a floor.
std::int32_t binary_power(std::int32_t q) noexcept {
  return ((q * 217706) >> 16) + 63;
}

// The high 64 bits of w * 5^q (w normalised, bit 63 set) and the word
// below them.  A binary32 needs the top 24 bits plus guard bits; when the
// low 38 bits of the high word are not all ones, adding the rest of the
// product (which is below 2^64) cannot carry into the bits that matter, so
// the second multiplication is skipped.
Product128 product_approximation(std::int64_t q, std::uint64_t w) noexcept {
  const U128Words& t = POWER_OF_FIVE_128[static_cast<std::size_t>(q - POWER_OF_FIVE_128_MIN_Q)];
  Product128 first = full_product(w, t.high);
  constexpr std::uint64_t precision_mask = 0x3FFFFFFFFFULL;  // low 38 bits
  if ((first.high & precision_mask) == precision_mask) {
    const std::uint64_t second_high = full_product(w, t.low).high;
    first.low += second_high;
    if (first.low < second_high) {
      ++first.high;
    }
  }
  return first;
}

ExtendedFloat unsettled(std::int64_t q, std::uint64_t high, int lz) noexcept {
  const int t = 1 - static_cast<int>(high >> 63);
  return {high << t, binary_power(static_cast<std::int32_t>(q)) + 150 - t - lz - 62 - UNSETTLED_BIAS};
}

}  // namespace

ExtendedFloat compute_float(std::int64_t q, std::uint64_t w) noexcept {
  // 10^-66 * (2^64 - 1) is below half the smallest subnormal 2^-150, and
  // 10^39 exceeds the largest binary32 for every w >= 1.
  if (w == 0 || q < -65) {
    return {0, 0};
  }
  if (q > 38) {
    return {0, INFINITE_EXPONENT};
  }
  const int lz = std::countl_zero(w);
  w <<= lz;
  const Product128 product = product_approximation(q, w);

  // All ones below the high word: the truncated tail of 5^q might have
  // carried into it.  For 0 <= q <= 55, 5^q fits 128 bits and the entry
  // is exact; for -27 <= q < 0 the entry (rounded up) is known to be close
  // enough (Mushtak and Lemire).  Only outside that range is the result
  // left to the digit comparison.
  if (product.low == ~std::uint64_t{0} && (q < -27 || q > 55)) {
    return unsettled(q, product.high, lz);
  }

  const int u = static_cast<int>(product.high >> 63);
  std::uint64_t m = product.high >> (u + 38);  // 25 or 26 bits: one guard bit
  std::int32_t e = binary_power(static_cast<std::int32_t>(q)) + u - lz + 127;

  if (e <= 0) {
    // Subnormal or zero: shift into the fixed subnormal scale, keeping
    // one guard bit.  Ties cannot arise here (exact halfway cases need
    // -17 <= q <= 10, far from the subnormal range).
    if (1 - e >= 64) {
      return {0, 0};
    }
    m >>= (1 - e);
    m += m & 1;
    m >>= 1;
    return {m, m >= HIDDEN_BIT ? 1 : 0};
  }

  // Exact halfway point: the guard bit is set, nothing below it in the
  // high word and (up to 1) in the low word.  Only -17 <= q <= 10 can
  // produce one (5^q must divide into 64 bits); clear the guard bit's
  // companion so that rounding up happens only from an odd kept part.
  if (product.low <= 1 && q >= -17 && q <= 10 && (m & 3) == 1 && (m << (u + 38)) == product.high) {
    m &= ~std::uint64_t{1};
  }
  m += m & 1;
  m >>= 1;
  if (m >= (HIDDEN_BIT << 1)) {
    m = HIDDEN_BIT;
    ++e;
  }
  m &= ~HIDDEN_BIT;
  if (e >= INFINITE_EXPONENT) {
    return {0, INFINITE_EXPONENT};
  }
  return {m, e};
}

ExtendedFloat compute_unsettled(std::int64_t q, std::uint64_t w) noexcept {
  const int lz = std::countl_zero(w);
  w <<= lz;
  return unsettled(q, product_approximation(q, w).high, lz);
}

}  // namespace quillrow::numeric::detail
