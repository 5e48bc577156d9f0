// Rows that repeat the layout of a row before them, decoded from that
// layout: no search for fields, no test per field.
//
// A file written with a fixed format gives most of its lines the layout of
// the line before: every separator, full stop, sign and exponent letter in
// the same place, and digits, whichever they are, in the same places.  The
// window (row_kernel.inl) finds the fields of a line that has no layout yet
// and hands them to `LineLayouts::learn`, which keeps the line's shape (its
// bytes, each digit replaced by '0') and, for that shape, where each time
// field's and each value's digits are; that line itself is then decoded
// from its new layout.  A later line is decoded from a layout when its
// bytes up to the LF differ from the shape only in digits;
// its time fields and values are then gathered from the known places by
// byte shuffles and converted by the vector steps of value_batch_avx2.inl.
//
// Only lines whose every field has a shape those steps take get a layout:
// time fields of one to four digits within the line's first 32 bytes, and
// each group of four values (three in the last) all short plain decimals or
// all the exponent form.  A line that matches no layout, and a value a
// vector step does not convert (an exponent out of its range, a binary32
// rounding midpoint), go on to the window, which decodes the line or words its
// fault, so faults and their line numbers are those of the window and the
// field-by-field decoder.
//
// Included by the AVX2 and AVX-512 kernels inside their target regions,
// after value_batch_avx2.inl, before row_kernel.inl, which calls
// LineLayouts.  Read on its own, by an editor or a linter, it opens an AVX2
// region of its own.

#include "sts/kernels/kernel_support.hpp"

#ifndef QUILLROW_KERNEL
#define QUILLROW_KERNEL alone
#define QUILLROW_LAYOUT_ALONE
QUILLROW_TARGET_BEGIN("avx2,bmi,bmi2,popcnt")
#include "sts/kernels/value_batch_avx2.inl"
#endif

namespace quillrow::sts::kernels::QUILLROW_KERNEL {
namespace {

// Four values of a layout (three in the last group), each read from 16
// bytes loaded at its body, the bytes after its sign.  Short plain
// decimals: each lane's digits gathered into a 64-bit lane, most
// significant first.  The exponent form: each lane's mantissa digits
// gathered into a 128-bit lane, its exponent read from two known bytes.
struct LayoutGroup {
  // Plain: lanes 0 and 2 from loads[0], lanes 1 and 3 from loads[1].
  // Exponent form: lanes 0 and 1 from loads[0], lanes 2 and 3 from loads[1].
  __m256i controls[2];
  __m256d divisor;                    // plain: 10^(fraction digits) per lane
  __m128i sign;                       // the sign bit of each lane
  std::uint32_t body[4];              // the lanes' loads, from the line's start
  std::uint32_t exponent_digits[4];   // exponent form: the exponent's two digits
  std::int32_t exponent_negative[4];  // exponent form: 0, or -1 for e-XX
  std::int32_t exponent_offset[4];    // exponent form: subtracted for the fraction digits
  bool scientific;
};

// Lines of up to 255 bytes with the LF have layouts: all but the window's
// longest.
inline constexpr std::size_t LAYOUT_BYTES = 256;
inline constexpr std::size_t LAYOUT_VECTORS = LAYOUT_BYTES / 32;

struct LineLayout {
  // The line's bytes with every digit as '0'; past the LF, zeros.
  alignas(32) std::array<std::uint8_t, LAYOUT_BYTES> shape;
  // Per byte, by how much a byte may exceed the shape's when both are
  // XORed: 9 for a digit (a digit XOR '0' is 0 to 9, any other byte XOR
  // '0' more), 0 for any other byte of the line, 0xFF past its LF.
  alignas(32) std::array<std::uint8_t, LAYOUT_BYTES> slack;
  // The time fields' digits from bytes 0-15 and 16-31 of the line, each
  // field into a 32-bit lane, most significant digit first.
  __m256i time_controls[2];
  LayoutGroup groups[3];
  std::uint32_t length = 0;   // the line's bytes with its LF; 0 for no layout
  std::uint32_t vectors = 0;  // 32-byte vectors compared with the shape
  std::uint32_t span = 0;     // bytes loaded from the line's start
};

inline __m256i load_vector(const void* p) noexcept {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

// Whether the line at `line` (with at least `layout.span` bytes from there
// to the end of the data) has the layout's shape.
[[gnu::always_inline]] inline bool has_shape(const LineLayout& layout, const char* line) noexcept {
  __m256i excess = _mm256_setzero_si256();
  for (std::uint32_t v = 0; v < layout.vectors; ++v) {
    const __m256i differs = _mm256_xor_si256(load_vector(line + 32 * v), load_vector(&layout.shape[32 * v]));
    excess = _mm256_or_si256(excess, _mm256_subs_epu8(differs, load_vector(&layout.slack[32 * v])));
  }
  return _mm256_testz_si256(excess, excess) != 0;
}

// The digit values of the 16 bytes at p, in both 128-bit lanes.
inline __m256i broadcast_digits(const char* p) noexcept {
  return _mm256_sub_epi8(_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                         _mm256_set1_epi8('0'));
}

inline __m256i digits_of_pair(const char* line, std::uint32_t low, std::uint32_t high,
                              __m256i control) noexcept {
  const __m256i bytes = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(line + high),
                                            reinterpret_cast<const __m128i*>(line + low));
  return _mm256_shuffle_epi8(_mm256_sub_epi8(bytes, _mm256_set1_epi8('0')), control);
}

// Converts a group of a line that has the layout's shape into `out`;
// returns a bit per lane a vector step could not convert.
template <unsigned count>
[[gnu::always_inline]] inline unsigned convert_layout_group(const LayoutGroup& group, const char* line,
                                                            float* out) noexcept {
  if (!group.scientific) {
    const __m256i digits =
        _mm256_or_si256(digits_of_pair(line, group.body[0], group.body[2], group.controls[0]),
                        digits_of_pair(line, group.body[1], group.body[3], group.controls[1]));
    const __m256i pairs = _mm256_maddubs_epi16(digits, _mm256_set1_epi16(0x010A));
    const __m256i fours = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));
    const __m256i mantissa =
        _mm256_add_epi64(_mm256_mul_epu32(fours, _mm256_set1_epi64x(10000)), _mm256_srli_epi64(fours, 32));
    return finish_plain_group<count>(mantissa, group.divisor, group.sign, out);
  }
  const __m256i low = digits_of_pair(line, group.body[0], group.body[1], group.controls[0]);
  const __m256i high = digits_of_pair(line, group.body[2], group.body[3], group.controls[1]);
  std::int32_t exponents[4];
  for (unsigned lane = 0; lane < 4; ++lane) {
    const char* const e = line + group.exponent_digits[lane];
    const auto x = static_cast<std::int32_t>(10 * numeric::detail::digit_value(e[0]) +
                                             numeric::detail::digit_value(e[1]));
    const std::int32_t negative = group.exponent_negative[lane];
    exponents[lane] = ((x ^ negative) - negative) - group.exponent_offset[lane];
  }
  // The last group's empty lane reads an exponent from whatever bytes.
  return finish_scientific_group<count>(low, high, exponents, group.sign, out) & ((1u << count) - 1);
}

// Decodes the line at `line`, which has the layout's shape, into `rows`;
// false, having stored nothing, when a value does not convert this way.
[[gnu::always_inline]] inline bool decode_with_layout(const LineLayout& layout, const char* line,
                                                      RowBuffers& rows, DayCache& days) {
  // Six numbers of up to four digits, one per 32-bit lane.
  const __m256i time_digits =
      _mm256_or_si256(_mm256_shuffle_epi8(broadcast_digits(line), layout.time_controls[0]),
                      _mm256_shuffle_epi8(broadcast_digits(line + 16), layout.time_controls[1]));
  const __m256i time = _mm256_madd_epi16(_mm256_maddubs_epi16(time_digits, _mm256_set1_epi16(0x010A)),
                                         _mm256_set1_epi32(0x00010064));
  const auto date = static_cast<std::uint64_t>(_mm256_extract_epi64(time, 0));
  const auto clock = static_cast<std::uint64_t>(_mm256_extract_epi64(time, 1));
  const auto seconds = static_cast<std::uint64_t>(_mm256_extract_epi64(time, 2));

  rows.values.reserve_more(VALUES_PER_ROW);
  float* const out = rows.values.unused();
  if ((convert_layout_group<4>(layout.groups[0], line, out) |
       convert_layout_group<4>(layout.groups[1], line, out + 4) |
       convert_layout_group<3>(layout.groups[2], line, out + 8)) != 0) [[unlikely]] {
    return false;
  }
  rows.values.extend_by(VALUES_PER_ROW);
  const auto low = [](std::uint64_t pair) { return static_cast<std::int32_t>(pair & 0xFFFFFFFF); };
  const auto high = [](std::uint64_t pair) { return static_cast<std::int32_t>(pair >> 32); };
  rows.timestamps.push_back(timestamp_ms(days.day_start(low(date), high(date)), low(clock), high(clock),
                                         low(seconds), high(seconds)));
  return true;
}

// Where a byte of the gathers comes from: none selects a zero.
inline constexpr std::uint8_t NONE = 0x80;

// PSHUFB controls of a short plain decimal by its body length n (1 to 9)
// and the place of its full stop (n when it has none): its digits to the
// top of an 8-byte lane, most significant first, zeros below.
inline constexpr auto PLAIN_DIGITS = [] {
  std::array<std::array<std::array<std::uint8_t, 8>, 10>, 10> controls{};
  for (unsigned n = 1; n <= 9; ++n) {
    for (unsigned point = 0; point <= n; ++point) {
      auto& control = controls[n][point];
      control.fill(NONE);
      const unsigned digits = point < n ? n - 1 : n;
      if (digits == 0 || digits > 8) continue;
      unsigned at = 8 - digits;
      for (unsigned i = 0; i < n; ++i) {
        if (i != point) control[at++] = static_cast<std::uint8_t>(i);
      }
    }
  }
  return controls;
}();

// The shape of one value field [first, last) of a line, for a layout: its
// body's start and length, its sign, which of the two vector steps takes
// it, and for a short plain decimal the place of its full stop (the
// length when it has none).  Sixteen bytes from the body's start may be
// loaded.
struct ValueShape {
  enum Kind { unusable, plain, scientific };
  Kind kind = unusable;
  std::uint32_t body = 0;
  std::uint32_t length = 0;
  std::uint32_t point = 0;
  bool negative = false;
};

inline ValueShape value_shape(const char* line, std::uint32_t first, std::uint32_t last) noexcept {
  ValueShape shape;
  const char* const p = line + first;
  shape.negative = *p == '-';
  const std::uint32_t skip = shape.negative || *p == '+' ? 1 : 0;
  shape.body = first + skip;
  const std::uint32_t n = last - first - skip;
  shape.length = n;
  if (n == 0 || n > 16) return shape;
  const char* const body = line + shape.body;
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(body));
  const __m128i values = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
  const unsigned inside = (1u << n) - 1;
  const unsigned digits = static_cast<unsigned>(_mm_movemask_epi8(
                              _mm_cmpeq_epi8(_mm_min_epu8(values, _mm_set1_epi8(9)), values))) &
                          inside;
  const unsigned points =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('.')))) & inside;
  // The exponent form, D.F...e±XX with 1 to 10 fraction digits: digits
  // but for the full stop, the letter and the exponent's sign.
  if (n >= 7) {
    const unsigned symbols = 1u << 1 | 1u << (n - 4) | 1u << (n - 3);
    if (digits == (inside & ~symbols) && body[1] == '.' && (body[n - 4] | 0x20) == 'e' &&
        (body[n - 3] == '+' || body[n - 3] == '-')) {
      shape.kind = ValueShape::scientific;
      return shape;
    }
  }
  // Short plain decimals: 1 to 8 digits and at most one full stop.
  if ((digits | points) == inside && std::popcount(points) <= 1 && digits != 0 &&
      std::popcount(digits) <= 8) {
    shape.kind = ValueShape::plain;
    shape.point = points != 0 ? static_cast<std::uint32_t>(std::countr_zero(points)) : n;
  }
  return shape;
}

// The layout of a group of values, or false when they are not all of one
// kind.
inline bool layout_group(const char* line, const std::uint32_t* first, const std::uint32_t* last,
                         unsigned count, LayoutGroup& group, std::uint32_t& span) noexcept {
  ValueShape shapes[4];
  for (unsigned i = 0; i < count; ++i) {
    shapes[i] = value_shape(line, first[i], last[i]);
    if (shapes[i].kind == ValueShape::unusable || shapes[i].kind != shapes[0].kind) return false;
  }
  group.scientific = shapes[0].kind == ValueShape::scientific;
  alignas(32) std::uint8_t controls[2][32];
  std::memset(controls, NONE, sizeof controls);
  alignas(32) double divisor[4] = {1, 1, 1, 1};
  alignas(16) std::uint32_t sign[4] = {};
  for (unsigned lane = 0; lane < 4; ++lane) {
    group.exponent_digits[lane] = 0;
    group.exponent_negative[lane] = 0;
    group.exponent_offset[lane] = 0;
    if (lane >= count) {  // the empty lane of the last group loads the line's start
      group.body[lane] = 0;
      continue;
    }
    const ValueShape& shape = shapes[lane];
    group.body[lane] = shape.body;
    sign[lane] = shape.negative ? 0x80000000U : 0;
    span = std::max(span, shape.body + 16);
    const char* const body = line + shape.body;
    if (!group.scientific) {
      // Lane k: bytes 8k..8k+7 of the vector, half k / 2 of loads[k % 2].
      std::memcpy(&controls[lane % 2][16 * (lane / 2) + 8 * (lane % 2)],
                  PLAIN_DIGITS[shape.length][shape.point].data(), 8);
      static constexpr double POWERS[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
      divisor[lane] = POWERS[shape.length - std::min(shape.point + 1, shape.length)];
    } else {
      // Lane k: half k % 2 of loads[k / 2].
      const std::uint32_t n = shape.length;
      std::memcpy(&controls[lane / 2][16 * (lane % 2)], SCIENTIFIC_DIGITS[n].data(), 16);
      group.exponent_digits[lane] = shape.body + n - 2;
      group.exponent_negative[lane] = body[n - 3] == '-' ? -1 : 0;
      group.exponent_offset[lane] = static_cast<std::int32_t>(n - 6);
    }
  }
  group.controls[0] = load_vector(controls[0]);
  group.controls[1] = load_vector(controls[1]);
  group.divisor = _mm256_load_pd(divisor);
  group.sign = _mm_load_si128(reinterpret_cast<const __m128i*>(sign));
  return true;
}

// The layout of a line the window has decoded: `lf` is its LF's place,
// `first` and `last` its eighteen fields' starts and ends; the line has
// room for 128 bytes, or 256 when longer than 128.  False when the line's
// fields are not all of a shape the layout takes.
inline bool learn_layout(const char* line, std::uint32_t lf, const std::uint32_t* first,
                         const std::uint32_t* last, LineLayout& layout) noexcept {
  using numeric::detail::is_digit;
  layout.length = 0;
  if (lf + 1 >= LAYOUT_BYTES) return false;  // lf + 1 is a byte below
  alignas(32) std::uint8_t time_controls[2][32];
  std::memset(time_controls, NONE, sizeof time_controls);
  for (unsigned field = 0; field < 6; ++field) {
    const std::uint32_t n = last[field] - first[field];
    if (n > 4 || last[field] > 32) return false;
    // Lane `field`: bytes 4 * field.. of the vector, in half field / 4.
    const unsigned lane_start = 4 * field + 4 - n;
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::uint32_t from = first[field] + i;
      if (!is_digit(line[from])) return false;
      time_controls[from / 16][lane_start + i] = static_cast<std::uint8_t>(from % 16);
    }
  }
  std::uint32_t span = 32;
  if (!layout_group(line, first + 7, last + 7, 4, layout.groups[0], span) ||
      !layout_group(line, first + 11, last + 11, 4, layout.groups[1], span) ||
      !layout_group(line, first + 15, last + 15, 3, layout.groups[2], span)) {
    return false;
  }
  layout.time_controls[0] = load_vector(time_controls[0]);
  layout.time_controls[1] = load_vector(time_controls[1]);
  layout.vectors = (lf + 1 + 31) / 32;
  layout.span = std::max(span, 32 * layout.vectors);
  const __m256i zero_digit = _mm256_set1_epi8('0');
  const __m256i nine = _mm256_set1_epi8(9);
  for (std::uint32_t v = 0; v < LAYOUT_VECTORS; ++v) {
    if (v >= layout.vectors) {
      _mm256_store_si256(reinterpret_cast<__m256i*>(&layout.shape[32 * v]), _mm256_setzero_si256());
      _mm256_store_si256(reinterpret_cast<__m256i*>(&layout.slack[32 * v]), _mm256_set1_epi8(-1));
      continue;
    }
    const __m256i bytes = load_vector(line + 32 * v);
    const __m256i values = _mm256_sub_epi8(bytes, zero_digit);
    const __m256i digit = _mm256_cmpeq_epi8(_mm256_min_epu8(values, nine), values);
    // Bytes past the LF: index > lf.
    const __m256i index =
        _mm256_add_epi8(_mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                                         20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31),
                        _mm256_set1_epi8(static_cast<char>(32 * v)));
    const __m256i past =
        _mm256_cmpeq_epi8(_mm256_max_epu8(index, _mm256_set1_epi8(static_cast<char>(lf + 1))), index);
    const __m256i shape = _mm256_andnot_si256(past, _mm256_blendv_epi8(bytes, zero_digit, digit));
    const __m256i slack = _mm256_or_si256(past, _mm256_and_si256(digit, nine));
    _mm256_store_si256(reinterpret_cast<__m256i*>(&layout.shape[32 * v]), shape);
    _mm256_store_si256(reinterpret_cast<__m256i*>(&layout.slack[32 * v]), slack);
  }
  layout.length = lf + 1;
  return true;
}

// The two layouts seen last, the one that matched last tried first.  A run
// of lines that match neither (a file without a fixed format) makes them
// rest for a while, so that such a file pays little for them.
class LineLayouts {
 public:
  // Decodes the line at `line` from a layout it has, returning the start of
  // the next line; nullptr, having stored nothing, when no layout fits.
  [[gnu::always_inline]] const char* decode(const char* line, const char* end, RowBuffers& rows,
                                            DayCache& days) {
    matched_ = false;
    if (rest_ != 0) {
      --rest_;
      return nullptr;
    }
    const auto left = static_cast<std::size_t>(end - line);
    for (unsigned attempt = 0; attempt < 2; ++attempt) {
      const unsigned which = recent_ ^ attempt;
      const LineLayout& layout = layouts_[which];
      if (layout.length == 0 || left < layout.span || !has_shape(layout, line)) continue;
      matched_ = true;
      if (!decode_with_layout(layout, line, rows, days)) return nullptr;
      recent_ = which;
      misses_ = 0;
      return line + layout.length;
    }
    if (++misses_ == MISSES_BEFORE_REST) {
      misses_ = 0;
      rest_ = REST;
    }
    return nullptr;
  }

  // Learns the layout of a line whose fields the window has found, unless
  // the line had a layout already (a value of it did not convert from
  // that): the layout learned, or nullptr.
  const LineLayout* learn(const char* line, std::uint32_t lf, const std::uint32_t* first,
                          const std::uint32_t* last) noexcept {
    if (matched_ || rest_ != 0) return nullptr;
    const unsigned older = recent_ ^ 1;
    if (!learn_layout(line, lf, first, last, layouts_[older])) return nullptr;
    recent_ = older;
    return &layouts_[older];
  }

  static bool decode_with(const LineLayout& layout, const char* line, RowBuffers& rows, DayCache& days) {
    return decode_with_layout(layout, line, rows, days);
  }

 private:
  static constexpr unsigned MISSES_BEFORE_REST = 16;
  static constexpr unsigned REST = 256;

  LineLayout layouts_[2];
  unsigned recent_ = 0;
  unsigned misses_ = 0;
  unsigned rest_ = 0;
  bool matched_ = false;
};

using Layouts = LineLayouts;

}  // namespace
}  // namespace quillrow::sts::kernels::QUILLROW_KERNEL

#ifdef QUILLROW_LAYOUT_ALONE
QUILLROW_TARGET_END
#endif
