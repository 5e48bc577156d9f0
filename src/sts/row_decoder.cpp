#include "sts/row_decoder.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "sts/block_path.hpp"
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

namespace quillrow::sts {

namespace {

[[gnu::cold, gnu::noinline]] FileFault row_fault(std::string_view path, std::uint64_t line_number,
                                                 std::string_view what, std::string_view name = {}) {
  return FileFault{concat("Invalid file ", path, " at line ", line_number, ": ", what, name)};
}

constexpr std::string_view TIME_FIELDS[] = {"year", "doy", "hour", "minute", "second", "millisecond"};

}  // namespace

FileFault time_field_fault(bool missing, std::uint64_t line_number, std::string_view path,
                           std::string_view name) {
  return row_fault(path, line_number, missing ? "missing " : "bad ", name);
}

namespace {

// A block of 64 bytes classified: bit i for byte i.
struct Masks {
  std::uint64_t separators;  // TAB, LF, FF, CR, SPACE
  std::uint64_t line_ends;   // LF
};

#if defined(__x86_64__)

// The five separators have five different low nibbles (SPACE 0, TAB 9, LF
// 10, FF 12, CR 13), so one table lookup by low nibble (PSHUFB) gives, for
// every byte, the only separator it could be, and the byte is a separator
// when it equals that entry.  Entries of the other nibbles are 0, which no
// byte with such a nibble equals; bytes from 0x80 up look up 0 and never
// match.
#define QUILLROW_SEPARATOR_TABLE ' ', 0, 0, 0, 0, 0, 0, 0, 0, '\t', '\n', 0, '\f', '\r', 0, 0

namespace sse2 {

// SSSE3's PSHUFB is not part of the baseline: one compare per separator.
struct Blocks {
  static std::uint32_t trailing_zeros(std::uint64_t x) noexcept {
    return static_cast<std::uint32_t>(std::countr_zero(x));
  }

  static Masks classify(const char* p) noexcept {
    Masks masks{0, 0};
    for (unsigned i = 0; i < 64; i += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i lf = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'));
      const __m128i hits = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t'))),
          _mm_or_si128(_mm_or_si128(lf, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\f'))),
                       _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'))));
      masks.separators |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(hits))} << i;
      masks.line_ends |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(lf))} << i;
    }
    return masks;
  }
};

inline unsigned convert_batch_values(const char*, const std::uint32_t*, const std::uint32_t*,
                                     float*) noexcept {
  return 0x7FF;
}

#include "sts/row_kernel.inl"

}  // namespace sse2

QUILLROW_TARGET_BEGIN("avx2,bmi,bmi2,popcnt")
namespace avx2 {

struct Blocks {
  static std::uint32_t trailing_zeros(std::uint64_t x) noexcept {
    return static_cast<std::uint32_t>(_tzcnt_u64(x));
  }

  static std::uint32_t movemask(__m256i hits) noexcept {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(hits));
  }

  static Masks classify(const char* p) noexcept {
    const __m256i table = _mm256_setr_epi8(QUILLROW_SEPARATOR_TABLE, QUILLROW_SEPARATOR_TABLE);
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const std::uint64_t separators =
        movemask(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, low), low)) |
        std::uint64_t{movemask(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, high), high))} << 32;
    const std::uint64_t line_ends =
        movemask(_mm256_cmpeq_epi8(low, lf)) | std::uint64_t{movemask(_mm256_cmpeq_epi8(high, lf))} << 32;
    return {separators, line_ends};
  }
};

#include "sts/value_batch_avx2.inl"
// The kernel calls the value batch above.
#include "sts/row_kernel.inl"

}  // namespace avx2
QUILLROW_TARGET_END

QUILLROW_TARGET_BEGIN("avx512f,avx512bw,avx2,bmi,bmi2,popcnt")
namespace avx512 {

struct Blocks {
  static std::uint32_t trailing_zeros(std::uint64_t x) noexcept {
    return static_cast<std::uint32_t>(_tzcnt_u64(x));
  }

  static Masks classify(const char* p) noexcept {
    alignas(64) static constexpr char TABLE[64] = {QUILLROW_SEPARATOR_TABLE, QUILLROW_SEPARATOR_TABLE,
                                                   QUILLROW_SEPARATOR_TABLE, QUILLROW_SEPARATOR_TABLE};
    const __m512i bytes = _mm512_loadu_si512(p);
    return {_mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(_mm512_load_si512(TABLE), bytes), bytes),
            _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\n'))};
  }
};

#include "sts/value_batch_avx2.inl"
// The kernel calls the value batch above.
#include "sts/row_kernel.inl"

}  // namespace avx512
QUILLROW_TARGET_END

using LineDecoder = std::optional<FileFault> (*)(std::string_view, std::uint64_t&, std::string_view,
                                                 RowBuffers&);

LineDecoder decoder_for(BlockPath path) noexcept {
  switch (path) {
    case BlockPath::avx2: return avx2::decode_lines;
    case BlockPath::avx512: return avx512::decode_lines;
    case BlockPath::sse2: break;
  }
  return sse2::decode_lines;
}

#else

namespace scalar {

struct Blocks {
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

inline unsigned convert_batch_values(const char*, const std::uint32_t*, const std::uint32_t*,
                                     float*) noexcept {
  return 0x7FF;
}

#include "sts/row_kernel.inl"

}  // namespace scalar

using LineDecoder = std::optional<FileFault> (*)(std::string_view, std::uint64_t&, std::string_view,
                                                 RowBuffers&);

LineDecoder decoder_for(BlockPath) noexcept {
  return scalar::decode_lines;
}

#endif

// The decoder in use: the preferred one, unless a test chose another.
std::atomic<LineDecoder> active_decoder{decoder_for(preferred_block_path())};
std::atomic<BlockPath> active_path{preferred_block_path()};

}  // namespace

BlockPath active_block_path() noexcept {
  return active_path.load(std::memory_order_relaxed);
}

bool use_block_path(BlockPath path) noexcept {
  if (!block_path_supported(path)) return false;
  active_path.store(path, std::memory_order_relaxed);
  active_decoder.store(decoder_for(path), std::memory_order_relaxed);
  return true;
}

std::optional<FileFault> decode_data_lines(std::string_view data, std::uint64_t& line_number,
                                           std::string_view path, RowBuffers& rows) {
  return active_decoder.load(std::memory_order_relaxed)(data, line_number, path, rows);
}

std::optional<FileFault> finish_rows(const RowBuffers& rows, std::string_view path) {
  if (rows.timestamps.empty()) return FileFault{concat("Invalid file ", path, ": no data rows found")};
  return std::nullopt;
}

}  // namespace quillrow::sts
