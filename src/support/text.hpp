// Message text built through the module's allocator.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

#include <mimalloc.h>

namespace quillrow {

using Text = std::basic_string<char, std::char_traits<char>, mi_stl_allocator<char>>;

namespace detail {
inline void append_piece(Text& out, std::string_view piece) {
  out.append(piece.data(), piece.size());
}
inline void append_piece(Text& out, const char* piece) {
  append_piece(out, std::string_view(piece));
}
inline void append_piece(Text& out, const Text& piece) {
  out.append(piece);
}
template <std::integral I>
void append_piece(Text& out, I value) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;  // 24 bytes hold every 64-bit value
  out.append(digits, static_cast<std::size_t>(end - digits));
}
}  // namespace detail

// Concatenates string pieces and integers into one Text.
template <class... Pieces>
Text concat(const Pieces&... pieces) {
  Text out;
  (detail::append_piece(out, pieces), ...);
  return out;
}

}  // namespace quillrow
