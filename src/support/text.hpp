// Message text built through the module's allocator.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <string_view>

#include <mimalloc.h>

namespace quillrow {

// mimalloc's own STL allocator goes through mi_new_n, which in the C build
// of the library ends the process when memory runs out.  This one asks
// mi_malloc and throws std::bad_alloc instead, so exhausted memory unwinds
// to the call boundary like any other failure and becomes MemoryError.
template <class T>
struct TextAllocator {
  using value_type = T;

  TextAllocator() noexcept = default;
  template <class U>
  TextAllocator(const TextAllocator<U>& /*other*/) noexcept {}

  T* allocate(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    void* p = mi_malloc_aligned(count * sizeof(T), alignof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t /*count*/) noexcept { mi_free(p); }

  template <class U>
  bool operator==(const TextAllocator<U>& /*other*/) const noexcept {
    return true;
  }
};

using Text = std::basic_string<char, std::char_traits<char>, TextAllocator<char>>;

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
