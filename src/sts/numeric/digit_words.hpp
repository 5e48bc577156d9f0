// Digits a byte or a word at a time: the tests and values of ASCII digits
// that the decimal scan uses, and that the row kernels use on the fields
// they take whole.  Plain, branch-free and baseline: every kernel, whatever
// its instruction set, can call them.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "sts/numeric/tables.hpp"

namespace quillrow::numeric {

inline bool is_digit(char c) noexcept {
  return static_cast<unsigned char>(static_cast<unsigned char>(c) - '0') <= 9;
}

inline std::uint64_t digit_value(char c) noexcept {
  return static_cast<std::uint64_t>(static_cast<unsigned char>(c) - '0');
}

// Eight bytes as a little-endian word: the first byte in the lowest bits.
inline std::uint64_t load_eight(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big) {
    w = __builtin_bswap64(w);
  }
  return w;
}

// A byte b is a digit exactly when b + 0x46 and b - 0x30 both leave bit 7
// clear: the first catches b > 0x39, the second b < 0x30 (the borrow sets
// bit 7, or propagates into the next byte, whose own test then fails too).
inline bool is_eight_digits(std::uint64_t w) noexcept {
  return (((w + 0x4646464646464646ULL) | (w - 0x3030303030303030ULL)) & 0x8080808080808080ULL) == 0;
}

// Value of eight digit bytes: pairs, then quadruples combined by two
// multiplications whose partial sums land in bits 32..63.
inline std::uint32_t eight_digits_value(std::uint64_t w) noexcept {
  constexpr std::uint64_t mask = 0x000000FF000000FFULL;
  constexpr std::uint64_t mul1 = 0x000F424000000064ULL;  // 100 + (1000000 << 32)
  constexpr std::uint64_t mul2 = 0x0000271000000001ULL;  // 1 + (10000 << 32)
  w -= 0x3030303030303030ULL;
  w = (w * 10) + (w >> 8);
  return static_cast<std::uint32_t>(((w & mask) * mul1 + ((w >> 16) & mask) * mul2) >> 32);
}

// 10^0 .. 10^22, each exact in binary64: the scale of the binary64 fast
// path, in which one multiplication or division rounds correctly.
using detail::POWERS_OF_TEN_F64;

}  // namespace quillrow::numeric
