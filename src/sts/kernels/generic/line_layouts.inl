// Rows that repeat the layout of a row before them, decoded from that
// layout: no search for fields, no test per field.  Written once; each
// kernel with vector steps includes it inside its target region and
// namespace, after its `Steps` (see LayoutSteps below for what they do).
//
// A file written with a fixed format gives most of its lines the layout of
// the line before: every separator, full stop, sign and exponent letter in
// the same place, and digits, whichever they are, in the same places.  The
// window (row_kernel.inl) finds the fields of a line that has no layout yet
// and hands them to `LineLayouts::learn`, which keeps the line's shape (its
// bytes, each digit replaced by '0') and, for that shape, where each time
// field's and each value's digits are; that line itself is then decoded
// from its new layout.  A later line is decoded from a layout when its
// bytes up to the LF differ from the shape only in digits; its time fields
// and values are then gathered from the known places by the kernel's byte
// shuffles and converted by its vector steps.
//
// Only lines whose every field has a shape those steps take get a layout:
// time fields of one to four digits within the line's first 32 bytes, and
// each group of four values (three in the last) all short plain decimals or
// all the exponent form (generic/value_shapes.hpp).  A line that matches no
// layout, and a value a vector step does not convert (an exponent out of
// its range, a binary32 rounding midpoint), go on to the window, which
// decodes the line or words its fault, so faults and their line numbers are
// those of the window and the field-by-field decoder.

#include "sts/kernels/kernel_support.hpp"

namespace QUILLROW_KERNEL_NAMESPACE {
namespace {

// The layout operations of a kernel's Steps:
// - body_bits(body): a bit per digit and a bit per full stop among the 16
//   bytes at `body`, as a pair;
// - write_shape(line, lf, chunks, shape, slack): the LAYOUT_BYTES bytes of
//   a line's shape and slack (LineLayout), from its first chunks *
//   LAYOUT_CHUNK bytes, its LF at `lf`;
// - matches_shape(shape, slack, chunks, line): whether the line's first
//   chunks * LAYOUT_CHUNK bytes XORed with the shape's exceed the slack
//   nowhere;
// - place_time_digit(controls, lane_byte, from): among the 64 control
//   bytes of time_fields (NONE where no digit is placed), byte `lane_byte`
//   of the six 32-bit lanes takes byte `from` of the line;
// - time_fields(line, controls): the six time fields as three pairs of
//   32-bit numbers (year and day, hour and minute, second and millisecond);
// - place_lane(controls, lane, scientific, row): among the 64 control bytes
//   of a group (NONE where no lane is placed), a lane's PLAIN_DIGITS (8
//   bytes) or SCIENTIFIC_DIGITS (16 bytes) row;
// - layout_plain<count>(group, line, out), layout_scientific<count>(group,
//   line, exponents, out): a group's four values, stored as the value batch
//   stores them, with a bit per lane that did not convert.
template <class S>
concept LayoutSteps =
    requires(const std::uint8_t* bytes, std::uint8_t* controls, std::uint32_t n, const char* line,
             const LayoutGroup& group, const std::int32_t* exponents, float* out) {
      { S::body_bits(line) } -> std::same_as<std::pair<unsigned, unsigned>>;
      { S::write_shape(line, n, n, controls, controls) } -> std::same_as<void>;
      { S::matches_shape(bytes, bytes, n, line) } -> std::same_as<bool>;
      { S::place_time_digit(controls, n, n) } -> std::same_as<void>;
      { S::time_fields(line, bytes) } -> std::same_as<std::array<std::uint64_t, 3>>;
      { S::place_lane(controls, n, true, bytes) } -> std::same_as<void>;
      { S::template layout_plain<4>(group, line, out) } -> std::same_as<unsigned>;
      { S::template layout_scientific<3>(group, line, exponents, out) } -> std::same_as<unsigned>;
    };
static_assert(LayoutSteps<Steps>, "a kernel's Steps lack the layouts' vector operations");

// Converts a group of a line that has the layout's shape into `out`;
// returns a bit per lane a vector step could not convert.
template <unsigned count>
[[gnu::always_inline]] inline unsigned convert_layout_group(const LayoutGroup& group, const char* line,
                                                            float* out) noexcept {
  if (!group.scientific) return Steps::template layout_plain<count>(group, line, out);
  std::int32_t exponents[4];
  for (unsigned lane = 0; lane < 4; ++lane) {
    const char* const e = line + group.exponent_digits[lane];
    const auto x = static_cast<std::int32_t>(10 * numeric::digit_value(e[0]) + numeric::digit_value(e[1]));
    const std::int32_t negative = group.exponent_negative[lane];
    exponents[lane] = ((x ^ negative) - negative) - group.exponent_offset[lane];
  }
  // The last group's empty lane reads an exponent from whatever bytes.
  return Steps::template layout_scientific<count>(group, line, exponents, out) & ((1u << count) - 1);
}

// Decodes the line at `line`, which has the layout's shape, into `rows`;
// false, having stored nothing, when a value does not convert this way.
[[gnu::always_inline]] inline bool decode_with_layout(const LineLayout& layout, const char* line,
                                                      RowBuffers& rows, DayCache& days) {
  // Six numbers of up to four digits, one per 32-bit lane.
  const auto [date, clock, seconds] = Steps::time_fields(line, layout.time_controls.data());

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

// The shape of the value field [first, last) of a window line (sixteen
// bytes from its body's start may be loaded).
inline ValueShape value_shape(const char* line, std::uint32_t first, std::uint32_t last) noexcept {
  const char* const p = line + first;
  const bool negative = *p == '-';  // fields are never empty
  const std::uint32_t skip = negative || *p == '+' ? 1 : 0;
  ValueShape shape{ValueShape::unusable, first + skip, last - first - skip, 0, negative};
  if (shape.length == 0 || shape.length > 16) return shape;
  const char* const body = line + shape.body;
  const auto [digits, points] = Steps::body_bits(body);
  classify_body(body, digits, points, shape);
  return shape;
}

// Whether the `count` values of a group all have one shape a vector step
// takes.
inline bool one_shape(const ValueShape* shapes, unsigned count) noexcept {
  for (unsigned i = 0; i < count; ++i) {
    if (shapes[i].kind == ValueShape::unusable || shapes[i].kind != shapes[0].kind) return false;
  }
  return true;
}

// The layout of a group of `count` values of one shape.
[[gnu::noinline]] inline void layout_group(const char* line, const ValueShape* shapes, unsigned count,
                                           LayoutGroup& group, std::uint32_t& span) noexcept {
  group.scientific = shapes[0].kind == ValueShape::scientific;
  std::memset(group.controls.data(), NONE, group.controls.size());
  for (unsigned lane = 0; lane < 4; ++lane) {
    group.exponent_digits[lane] = 0;
    group.exponent_negative[lane] = 0;
    group.exponent_offset[lane] = 0;
    group.divisor[lane] = 1;
    group.sign[lane] = 0;
    if (lane >= count) {  // the empty lane of the last group loads the line's start
      group.body[lane] = 0;
      continue;
    }
    const ValueShape& shape = shapes[lane];
    group.body[lane] = shape.body;
    group.sign[lane] = shape.negative ? 0x80000000U : 0;
    span = std::max(span, shape.body + 16);
    if (!group.scientific) {
      Steps::place_lane(group.controls.data(), lane, false, PLAIN_DIGITS[shape.length][shape.point].data());
      static constexpr double POWERS[PLAIN_MAX_FRACTION + 1] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
      group.divisor[lane] = POWERS[shape.point < shape.length ? shape.length - 1 - shape.point : 0];
    } else {
      const std::uint32_t n = shape.length;
      Steps::place_lane(group.controls.data(), lane, true, SCIENTIFIC_DIGITS[n].data());
      group.exponent_digits[lane] = shape.body + n - 2;
      group.exponent_negative[lane] = line[shape.body + n - 3] == '-' ? -1 : 0;
      group.exponent_offset[lane] = static_cast<std::int32_t>(n - 6);
    }
  }
}

// The layout of a line the window has decoded: `lf` is its LF's place,
// `first` and `last` its eighteen fields' starts and ends; the line has
// room for 128 bytes, or 256 when longer than 128.  False when the line's
// fields are not all of a shape the layout takes; `layout` is then left as
// it was, so that a line without a layout evicts no kept one.
inline bool learn_layout(const char* line, std::uint32_t lf, const std::uint32_t* first,
                         const std::uint32_t* last, LineLayout& layout) noexcept {
  if (lf + 1 >= LAYOUT_BYTES) return false;  // lf + 1 is a byte below
  // Kept aside until the line is known to have a layout.
  alignas(32) std::uint8_t time_controls[64];
  std::memset(time_controls, NONE, sizeof time_controls);
  for (unsigned field = 0; field < 6; ++field) {
    const std::uint32_t n = last[field] - first[field];
    if (n > 4 || last[field] > 32) return false;
    // Lane `field`: bytes 4 * field.. of the result, its digits at the top.
    const unsigned lane_start = 4 * field + 4 - n;
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::uint32_t from = first[field] + i;
      if (!numeric::is_digit(line[from])) return false;
      Steps::place_time_digit(time_controls, lane_start + i, from);
    }
  }
  ValueShape shapes[VALUES_PER_ROW];
  for (unsigned group = 0; group < 3; ++group) {
    const unsigned count = group < 2 ? 4 : 3;
    for (unsigned i = 4 * group; i < 4 * group + count; ++i)
      shapes[i] = value_shape(line, first[7 + i], last[7 + i]);
    if (!one_shape(shapes + 4 * group, count)) return false;
  }
  std::uint32_t span = 32;
  layout_group(line, shapes, 4, layout.groups[0], span);
  layout_group(line, shapes + 4, 4, layout.groups[1], span);
  layout_group(line, shapes + 8, 3, layout.groups[2], span);
  std::memcpy(layout.time_controls.data(), time_controls, sizeof time_controls);
  layout.chunks = static_cast<std::uint32_t>((lf + LAYOUT_CHUNK) / LAYOUT_CHUNK);
  layout.span = std::max(span, static_cast<std::uint32_t>(LAYOUT_CHUNK) * layout.chunks);
  Steps::write_shape(line, lf, layout.chunks, layout.shape.data(), layout.slack.data());
  layout.length = lf + 1;
  return true;
}

// The two layouts seen last, the one that matched last tried first.  A run
// of lines that match neither (a file without a fixed format) makes them
// rest for a while, so that such a file pays little for them.
class LineLayouts {
 public:
  using Layout = LineLayout;

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
      if (layout.length == 0 || left < layout.span ||
          !Steps::matches_shape(layout.shape.data(), layout.slack.data(), layout.chunks, line)) {
        continue;
      }
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

}  // namespace
}  // namespace QUILLROW_KERNEL_NAMESPACE
