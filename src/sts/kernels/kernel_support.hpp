// What the row kernel (kernels/generic/row_kernel.inl) takes from outside
// itself: every header it uses, the masks a classifier fills, what a
// classifier, a value batch and a layout step must provide (as concepts),
// the steps of a kernel without vector conversions or layouts, the portable
// classifier, and the target regions that compile a kernel for a wider
// instruction set.  Each kernels/<name>.cpp includes this header first, at
// global scope and outside any target region, so that every inline function
// it brings in is compiled for the baseline only (see row_kernel.inl).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "sts/errors.hpp"
#include "sts/kernel_table.hpp"
#include "sts/kernels/generic/line_layout.hpp"
#include "sts/kernels/generic/value_shapes.hpp"
#include "sts/numeric/digit_words.hpp"
#include "sts/numeric/parse.hpp"
#include "sts/row_decoder.hpp"
#include "sts/timestamp.hpp"
#include "support/internal_failure.hpp"

// A region of functions compiled for a wider instruction set: every
// function defined between BEGIN and END gets the target, whether it is
// written inline, as a member or as a lambda.
#if defined(__clang__)
#define QUILLROW_TARGET_BEGIN(features) \
  _Pragma(QUILLROW_STRING(clang attribute push(__attribute__((target(features))), apply_to = function)))
#define QUILLROW_TARGET_END _Pragma("clang attribute pop")
#else
#define QUILLROW_TARGET_BEGIN(features) \
  _Pragma("GCC push_options") _Pragma(QUILLROW_STRING(GCC target(features)))
#define QUILLROW_TARGET_END _Pragma("GCC pop_options")
#endif
#define QUILLROW_STRING(x) #x

namespace quillrow::sts::kernels {

// A block of 64 bytes classified: bit i for byte i.
struct Masks {
  std::uint64_t separators;  // TAB, LF, FF, CR, SPACE
  std::uint64_t line_ends;   // LF
};

inline constexpr std::string_view TIME_FIELDS[] = {"year", "doy", "hour", "minute", "second", "millisecond"};

// Notes which kernel decoded the last data lines: `name` is the kernel's
// own, written into its code, so that a test can tell the kernel that ran
// from the table entry it chose.
inline void report_kernel_run(const char* name) noexcept {
  kernel_run_report().store(name, std::memory_order_relaxed);
}

// What a block classifier provides: the masks of the 64 bytes at p, and a
// count of trailing zeros (one instruction where the instruction set has
// one).
template <class B>
concept BlockClassifier = requires(const char* p, std::uint64_t x) {
  { B::classify(p) } -> std::same_as<Masks>;
  { B::trailing_zeros(x) } -> std::same_as<std::uint32_t>;
};

// What a value batch provides: convert(line, first, last, out) converts
// what it can of a window line's eleven value fields [line + first[i],
// line + last[i]) into out[i] and returns a bit per field it left to the
// scalar conversion.  It may load BATCH_MARGIN bytes past any field.
template <class V>
concept ValueBatchStep = requires(const char* line, const std::uint32_t* first, float* out) {
  { V::convert(line, first, first, out) } -> std::same_as<unsigned>;
};

// What a layout step provides: decode(line, end, rows, days) decodes a line
// that repeats a known layout (the start of the next line, or nullptr
// having stored nothing); learn(line, lf, first, last) takes the layout of a
// line whose fields the window found (the layout, or nullptr); and
// decode_with(layout, line, rows, days) decodes that line from it (false
// having stored nothing).
template <class L>
concept LayoutStep = requires(L layouts, const typename L::Layout& layout, const char* line,
                              const std::uint32_t* first, RowBuffers& rows, DayCache& days) {
  { layouts.decode(line, line, rows, days) } -> std::same_as<const char*>;
  { layouts.learn(line, std::uint32_t{}, first, first) } -> std::same_as<const typename L::Layout*>;
  { L::decode_with(layout, line, rows, days) } -> std::same_as<bool>;
};

// The value step of a kernel without vector conversions: every one of the
// eleven values is left to the scalar conversion.
struct NoValueBatch {
  static unsigned convert(const char*, const std::uint32_t*, const std::uint32_t*, float*) noexcept {
    return 0x7FF;
  }
};

// The layouts of a kernel that decodes no line from the layout of the
// lines before it: every line goes to the window.
struct NoLayouts {
  struct Layout {};
  const char* decode(const char*, const char*, RowBuffers&, DayCache&) noexcept { return nullptr; }
  const Layout* learn(const char*, std::uint32_t, const std::uint32_t*, const std::uint32_t*) noexcept {
    return nullptr;
  }
  static bool decode_with(const Layout&, const char*, RowBuffers&, DayCache&) noexcept { return false; }
};

// A classifier in plain C++, one byte at a time, for any processor.
struct PortableBlocks {
  static std::uint32_t trailing_zeros(std::uint64_t x) noexcept {
    return static_cast<std::uint32_t>(std::countr_zero(x));
  }

  static Masks classify(const char* p) noexcept {
    Masks masks{0, 0};
    for (unsigned i = 0; i < 64; ++i) {
      masks.separators |= std::uint64_t{is_separator(p[i])} << i;
      masks.line_ends |= std::uint64_t{p[i] == '\n'} << i;
    }
    return masks;
  }
};

// The five separators have five different low nibbles (SPACE 0, TAB 9, LF
// 10, FF 12, CR 13), so one table lookup by low nibble (PSHUFB) gives, for
// every byte, the only separator it could be, and the byte is a separator
// when it equals that entry.  Entries of the other nibbles are 0, which no
// byte with such a nibble equals; bytes from 0x80 up look up 0 and never
// match.
#define QUILLROW_SEPARATOR_TABLE ' ', 0, 0, 0, 0, 0, 0, 0, 0, '\t', '\n', 0, '\f', '\r', 0, 0

}  // namespace quillrow::sts::kernels
