// Splitting a data line into fields.  A field is a maximal run of bytes that
// are not separators (TAB, LF, FF, CR, SPACE).
//
// The line is classified 64 bytes at a time into a bit mask of separator
// positions (SSE2, part of every x86-64), and fields are then found with
// count-trailing-zeros on the mask instead of a compare-and-branch per byte.
// Loads never pass `readable_end` (the end of the mapping): a block that
// would is classified from a zero-padded local copy of its readable bytes.
// Bits for bytes at and after the end of the line are set, so the line end
// acts as a separator.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "sts/row_decoder.hpp"

namespace quillrow::sts {

class FieldSplitter {
 public:
  static constexpr std::size_t BLOCK = 64;

  FieldSplitter(std::string_view line, const char* readable_end) noexcept
      : block_(line.data()), line_end_(line.data() + line.size()), readable_end_(readable_end) {
    load_block();
  }

  // The next field, or nothing when only separators are left.
  [[gnu::always_inline]] std::optional<std::string_view> next() noexcept {
    // Start: the first non-separator at or after the cursor.
    std::uint64_t candidates = ~separators_ & bits_from(position_);
    while (candidates == 0) {
      if (!next_block()) return std::nullopt;
      candidates = ~separators_;
    }
    const auto start = static_cast<unsigned>(std::countr_zero(candidates));
    const char* field = block_ + start;

    // End: the first separator after the start; it may lie in a later block.
    std::uint64_t ends = separators_ & bits_from(start);
    while (ends == 0) {
      if (!next_block()) {
        position_ = BLOCK;
        return std::string_view(field, static_cast<std::size_t>(line_end_ - field));
      }
      ends = separators_;
    }
    const auto end = static_cast<unsigned>(std::countr_zero(ends));
    position_ = end;
    return std::string_view(field, static_cast<std::size_t>(block_ + end - field));
  }

  bool only_separators_left() noexcept { return !next().has_value(); }

 private:
  // The bits at index k and above; none for k = 64.
  static std::uint64_t bits_from(unsigned k) noexcept { return k >= BLOCK ? 0 : ~std::uint64_t{0} << k; }

  // Moves to the next block of the line; false at the end of the line.
  bool next_block() noexcept {
    if (line_end_ - block_ <= static_cast<std::ptrdiff_t>(BLOCK)) return false;
    block_ += BLOCK;
    position_ = 0;
    load_block();
    return true;
  }

  void load_block() noexcept {
    const auto in_line = static_cast<std::size_t>(line_end_ - block_);
    const auto readable = static_cast<std::size_t>(readable_end_ - block_);
    std::uint64_t mask;
    if (readable >= BLOCK) {
      mask = classify(block_);
    } else {
      alignas(16) char padded[BLOCK] = {};
      std::memcpy(padded, block_, readable < in_line ? readable : in_line);
      mask = classify(padded);
    }
    if (in_line < BLOCK) mask |= ~std::uint64_t{0} << in_line;
    separators_ = mask;
  }

  static std::uint64_t classify(const char* p) noexcept {
#if defined(__SSE2__)
    std::uint64_t mask = 0;
    for (unsigned i = 0; i < BLOCK; i += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      // TAB, LF, FF and CR are 9, 10, 12 and 13: compare each, and SPACE.
      const __m128i hits = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t'))),
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')),
                                    _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\f'))),
                       _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'))));
      mask |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(hits))) << i;
    }
    return mask;
#else
    std::uint64_t mask = 0;
    for (unsigned i = 0; i < BLOCK; ++i)
      mask |= std::uint64_t{is_separator(p[i])} << i;
    return mask;
#endif
  }

  const char* block_;
  const char* line_end_;
  const char* readable_end_;
  std::uint64_t separators_ = 0;
  unsigned position_ = 0;  // bits below this index of the current block are consumed
};

}  // namespace quillrow::sts
