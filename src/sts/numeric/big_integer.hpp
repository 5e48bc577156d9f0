// Fixed-capacity unsigned big integer for the digit comparison.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "sts/numeric/tables.hpp"

namespace quillrow::numeric::detail {

// Capacity: the digit comparison sees decimal exponents -65 <= q <= 38 and
// at most 115 digits, so k = s + 1 - c lies in -179..56.  Its largest
// numbers are h * 5^179 * 2^282 (25 + 416 + 282 = 723 bits) and
// D * 2^149 (382 + 149 = 531 bits), i.e. at most 12 limbs.  62 limbs
// (3968 bits) leave a wide margin; every operation still checks it and
// reports a breach instead of writing past the end.
class BigInt {
 public:
  static constexpr std::size_t CAPACITY = 62;

  BigInt() noexcept = default;

  explicit BigInt(std::uint64_t value) noexcept {
    if (value != 0) {
      limbs_[0] = value;
      count_ = 1;
    }
  }

  // *this = *this * multiplier + addend.
  [[nodiscard]] bool try_mul_add(std::uint64_t multiplier, std::uint64_t addend) noexcept {
    std::uint64_t carry = addend;
    for (std::size_t i = 0; i < count_; ++i) {
      const unsigned __int128 r = static_cast<unsigned __int128>(limbs_[i]) * multiplier + carry;
      limbs_[i] = static_cast<std::uint64_t>(r);
      carry = static_cast<std::uint64_t>(r >> 64);
    }
    return carry == 0 || try_push(carry);
  }

  // *this *= the little-endian number words[0..n).
  [[nodiscard]] bool try_mul(const std::uint64_t* words, std::size_t n) noexcept {
    if (count_ == 0) {
      return true;
    }
    if (count_ + n > CAPACITY + 1) {
      return false;
    }
    // Schoolbook product; the product of a count_-limb and an n-limb
    // number has count_ + n limbs at most.
    std::uint64_t product[CAPACITY + 1] = {};
    for (std::size_t i = 0; i < count_; ++i) {
      std::uint64_t carry = 0;
      for (std::size_t j = 0; j < n; ++j) {
        const unsigned __int128 r =
            static_cast<unsigned __int128>(limbs_[i]) * words[j] + product[i + j] + carry;
        product[i + j] = static_cast<std::uint64_t>(r);
        carry = static_cast<std::uint64_t>(r >> 64);
      }
      product[i + n] = carry;
    }
    std::size_t length = count_ + n;
    while (length > 0 && product[length - 1] == 0) {
      --length;
    }
    if (length > CAPACITY) {
      return false;
    }
    std::copy(product, product + length, limbs_);
    count_ = static_cast<std::uint16_t>(length);
    return true;
  }

  // *this *= 5^n: by 5^135 (five words) while possible, then by 5^27,
  // then once by the remaining small power.
  [[nodiscard]] bool try_pow5(std::uint32_t n) noexcept {
    for (; n >= 135; n -= 135) {
      if (!try_mul(POWER_OF_FIVE_135, 5)) {
        return false;
      }
    }
    for (; n >= 27; n -= 27) {
      if (!try_mul_add(POWERS_OF_FIVE_U64[27], 0)) {
        return false;
      }
    }
    return n == 0 || try_mul_add(POWERS_OF_FIVE_U64[n], 0);
  }

  // *this <<= n: first n mod 64 bits within the limbs, then whole limbs.
  // A bit shift of 0 is skipped: the carry expression would shift a word
  // right by 64, which C++ leaves undefined.
  [[nodiscard]] bool try_shl(std::uint32_t n) noexcept {
    if (count_ == 0) {
      return true;
    }
    const unsigned bits = n % 64;
    const std::size_t words = n / 64;
    if (bits != 0) {
      std::uint64_t carry = 0;
      for (std::size_t i = 0; i < count_; ++i) {
        const std::uint64_t limb = limbs_[i];
        limbs_[i] = (limb << bits) | carry;
        carry = limb >> (64 - bits);
      }
      if (carry != 0 && !try_push(carry)) {
        return false;
      }
    }
    if (words != 0) {
      if (count_ + words > CAPACITY) {
        return false;
      }
      std::copy_backward(limbs_, limbs_ + count_, limbs_ + count_ + words);
      std::fill(limbs_, limbs_ + words, std::uint64_t{0});
      count_ = static_cast<std::uint16_t>(count_ + words);
    }
    return true;
  }

  // Number of significant bits; the top limb is never zero.
  std::int32_t bit_length() const noexcept {
    if (count_ == 0) {
      return 0;
    }
    return static_cast<std::int32_t>(64 * count_) - std::countl_zero(limbs_[count_ - 1]);
  }

  // The 64 bits from the highest set bit down (zero-filled below a short
  // number); truncated tells whether any set bit lies below them.
  std::uint64_t top64(bool& truncated) const noexcept {
    truncated = false;
    if (count_ == 0) {
      return 0;
    }
    const std::uint64_t high = limbs_[count_ - 1];
    const int lz = std::countl_zero(high);
    if (count_ == 1) {
      return high << lz;
    }
    const std::uint64_t next = limbs_[count_ - 2];
    std::uint64_t result = high;
    std::uint64_t rest = next;
    if (lz != 0) {  // next >> 64 would be undefined
      result = (high << lz) | (next >> (64 - lz));
      rest = next << lz;
    }
    truncated = rest != 0;
    for (std::size_t i = count_ - 2; i-- > 0 && !truncated;) {
      truncated = limbs_[i] != 0;
    }
    return result;
  }

  friend int compare(const BigInt& a, const BigInt& b) noexcept {
    if (a.count_ != b.count_) {
      return a.count_ > b.count_ ? 1 : -1;
    }
    for (std::size_t i = a.count_; i-- > 0;) {
      if (a.limbs_[i] != b.limbs_[i]) {
        return a.limbs_[i] > b.limbs_[i] ? 1 : -1;
      }
    }
    return 0;
  }

 private:
  [[nodiscard]] bool try_push(std::uint64_t limb) noexcept {
    if (count_ == CAPACITY) {
      return false;
    }
    limbs_[count_++] = limb;
    return true;
  }

  // Little-endian limbs; only limbs_[0..count_) are meaningful and the
  // highest of them is non-zero.
  std::uint64_t limbs_[CAPACITY];
  std::uint16_t count_ = 0;
};

}  // namespace quillrow::numeric::detail
