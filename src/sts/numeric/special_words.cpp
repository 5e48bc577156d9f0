#include "sts/numeric/special_words.hpp"

#include <cstddef>
#include <string_view>

namespace quillrow::numeric::detail {

namespace {

// Compares the first word.size() bytes with an upper-case word.  Clearing
// bit 5 maps a-z onto A-Z and maps no byte outside the letters onto one.
bool starts_with_word(const char* p, std::string_view upper_word) noexcept {
  for (std::size_t i = 0; i < upper_word.size(); ++i) {
    if ((static_cast<unsigned char>(p[i]) & 0xDF) != static_cast<unsigned char>(upper_word[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<std::uint32_t> parse_special_word(const char* p, const char* end, bool negative) noexcept {
  const std::ptrdiff_t length = end - p;
  if (length < 3) {
    return std::nullopt;
  }
  std::uint32_t bits;
  if (starts_with_word(p, "NAN")) {
    if (length != 3) {
      return std::nullopt;
    }
    bits = F32_NAN_BITS;
  } else if (length >= 8 && starts_with_word(p, "INFINITY")) {
    if (length != 8) {
      return std::nullopt;
    }
    bits = F32_INFINITY_BITS;
  } else if (starts_with_word(p, "INF")) {
    if (length != 3) {
      return std::nullopt;
    }
    bits = F32_INFINITY_BITS;
  } else {
    return std::nullopt;
  }
  return negative ? bits ^ F32_SIGN_BIT : bits;
}

}  // namespace quillrow::numeric::detail
