// What the row kernel (kernels/row_kernel.inl) takes from outside itself:
// every header it uses, the masks a classifier fills, the fault wording,
// the value step of a kernel without vector conversions, the portable
// classifier, and the target regions that compile a kernel for a wider
// instruction set.  Each kernels/<name>.cpp includes this header first, at
// global scope and outside any target region, so that every inline function
// it brings in is compiled for the baseline only (see row_kernel.inl).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
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
#include "sts/numeric/decimal_scan.hpp"
#include "sts/numeric/parse.hpp"
#include "sts/numeric/tables.hpp"
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

// "Invalid file PATH at line N: WHAT NAME", the message of a faulty row.
[[gnu::cold, gnu::noinline]] FileFault row_fault(std::string_view path, std::uint64_t line_number,
                                                 std::string_view what, std::string_view name = {});

inline constexpr std::string_view TIME_FIELDS[] = {"year", "doy", "hour", "minute", "second", "millisecond"};

// Notes which kernel decoded the last data lines: `name` is the kernel's
// own, written into its code, so that a test can tell the kernel that ran
// from the table entry it chose.
inline void report_kernel_run(const char* name) noexcept {
  kernel_run_report().store(name, std::memory_order_relaxed);
}

// The start of the last row's day, kept while rows stay on that day.
struct DayCache {
  std::int32_t year = 1970;
  std::int32_t doy = 1;
  std::int64_t start = 0;

  std::int64_t day_start(std::int32_t new_year, std::int32_t new_doy) noexcept {
    if (new_year != year || new_doy != doy) [[unlikely]] {
      year = new_year;
      doy = new_doy;
      start = day_ms(year, doy);
    }
    return start;
  }
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
