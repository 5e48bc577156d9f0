// The row kernel: the walk over the data lines and the decoding of each
// row, written once over a block classifier and compiled once per
// instruction set.  Each kernels/<name>.cpp includes this file once, last,
// inside the region kernel_begin.hpp opens, after defining in
// QUILLROW_KERNEL_NAMESPACE its `Blocks` classifier, its `ValueBatch` step
// and its `Layouts` (the concepts below say what each provides).  The
// namespace, and an unnamed one within it, make each copy a distinct set of
// functions, all inlining their own classifier, and none is seen outside
// its file but through the kernel's table entry.
//
// The target regions, rather than a flag such as -mavx2 on the whole file,
// keep the wider instructions to these functions: with such a flag every
// inline function the file takes from a shared header (the numeric
// conversions, the standard library) would be compiled for AVX2 as well,
// and the linker keeps one copy of each for the whole program, perhaps
// that one, which baseline code would then call on a processor without
// AVX2.  kernel_support.hpp, included at the top of each kernel's file,
// outside its region, brings in every such header first.
//
// Blocks::classify(p) turns the 64 bytes at p into two bit masks, bit i for
// byte i: separators (TAB, LF, FF, CR, SPACE) and LFs; trailing_zeros(x)
// counts them in one instruction where the instruction set has one.
// ValueBatch::convert converts what it can of a row's eleven value fields
// at once, returning a bit per field it left to the scalar conversion (all
// of them, where the instruction set has no vector step: NoValueBatch).
// Layouts decode the lines that repeat the layout of a line before them,
// before the window is tried, and learn from the lines whose fields the
// window finds (NoLayouts where the instruction set has no such step).

#include "sts/kernels/kernel_support.hpp"

#ifndef QUILLROW_KERNEL
// Read on its own, by an editor or a linter: the portable classifier.
#define QUILLROW_KERNEL alone
#define QUILLROW_KERNEL_NAMESPACE quillrow::sts::kernels::alone
namespace quillrow::sts::kernels::alone {
namespace {
using Blocks = PortableBlocks;
using ValueBatch = NoValueBatch;
using Layouts = NoLayouts;
}  // namespace
}  // namespace quillrow::sts::kernels::alone
#endif

#define QUILLROW_KERNEL_NAME QUILLROW_NAME_OF(QUILLROW_KERNEL)
#define QUILLROW_NAME_OF(kernel) QUILLROW_STRING(kernel)

namespace QUILLROW_KERNEL_NAMESPACE {
namespace {

static_assert(BlockClassifier<Blocks>, "a kernel's Blocks must classify 64 bytes into Masks");
static_assert(ValueBatchStep<ValueBatch>, "a kernel's ValueBatch must convert a window line's values");
static_assert(LayoutStep<Layouts>, "a kernel's Layouts must decode, learn and decode_with");

// A cursor over the data lines, 64 bytes at a time from the start of each
// line.  Each block is classified once into its masks; fields and line
// ends are then found with count-trailing-zeros on the masks, with no
// compare-and-branch per byte and no separate search for the LF.
//
// Loads never pass the end of the data (the end of the mapping): the last
// block, when shorter than 64 bytes, is classified from a zero-padded local
// copy.  Bits for bytes past the end are separators, and the end itself is
// marked as a line end, so a last line without its LF ends there.
class DataWalk {
 public:
  static constexpr std::size_t BLOCK = 64;

  DataWalk(const char* begin, const char* end) noexcept : block_(begin), end_(end) { load_block(); }

  bool at_end() const noexcept { return cursor() >= end_; }

  // The cursor, or the end of the data once it is passed.
  const char* position() const noexcept { return std::min(cursor(), end_); }

  // Whether the line at the cursor (not at the end) is blank: its LF, or a
  // single CR and its LF or the end of the data, come first.  The cursor
  // then moves past it.
  bool skip_blank_line() noexcept {
    const char* p = cursor();
    if (*p == '\n') {
      move_to(p + 1);
      return true;
    }
    if (*p == '\r' && (p + 1 == end_ || p[1] == '\n')) {
      move_to(p + 1 == end_ ? end_ : p + 2);
      return true;
    }
    return false;
  }

  // The next field of the current line, or nothing at the line's end
  // (where the cursor then rests).
  [[gnu::always_inline]] std::optional<std::string_view> next_field() noexcept {
    // Start: the first field byte or line end at or after the cursor.
    std::uint64_t stops = stops_ & unread_;
    while (stops == 0) {
      if (!next_block()) {
        unread_ = 0;  // the end of the data ends the line
        return std::nullopt;
      }
      stops = stops_;
    }
    const auto start = static_cast<unsigned>(std::countr_zero(stops));
    // start < 64, and so is every shift below.
    unread_ = ~std::uint64_t{0} << start;
    if ((line_ends_ >> start) & 1) return std::nullopt;
    const char* field = block_ + start;

    // End: the first separator after the start; it may lie in a later block.
    std::uint64_t ends = separators_ & unread_;
    while (ends == 0) {
      if (!next_block()) {
        unread_ = 0;
        return std::string_view(field, static_cast<std::size_t>(end_ - field));
      }
      ends = separators_;
    }
    const auto end = static_cast<unsigned>(std::countr_zero(ends));
    unread_ = ~std::uint64_t{0} << end;
    return std::string_view(field, static_cast<std::size_t>(block_ + end - field));
  }

  // Moves past the line end at the cursor (an LF, or the end of the data).
  void finish_line() noexcept {
    const char* p = cursor();
    if (p < end_) move_to(p + 1);
  }

 private:
  // The cursor: the first unread byte (block_ + 64 when the block is read).
  const char* cursor() const noexcept { return block_ + std::countr_zero(unread_); }

  // Moves to the next block; false at the last block of the data.
  bool next_block() noexcept {
    if (end_ - block_ <= static_cast<std::ptrdiff_t>(BLOCK)) return false;
    block_ += BLOCK;
    load_block();
    return true;
  }

  // Puts the cursor on p (at most the end of the data).
  // Each line starts a block of its own, though the current block may
  // already hold its first bytes: rows of a file have nearly the same
  // length and layout, so a field then meets the end of a block at the same
  // place row after row.  Blocks taken straight through the data cut each
  // row somewhere else: fewer instructions, but slower.
  void move_to(const char* p) noexcept {
    block_ = p;
    load_block();
  }

  void load_block() noexcept {
    const auto left = static_cast<std::size_t>(end_ - block_);
    Masks masks;
    if (left >= BLOCK) {
      masks = Blocks::classify(block_);
    } else {
      alignas(64) char padded[BLOCK] = {};
      std::memcpy(padded, block_, left);
      masks = Blocks::classify(padded);
      masks.separators |= ~std::uint64_t{0} << left;
      masks.line_ends |= std::uint64_t{1} << left;
    }
    separators_ = masks.separators;
    line_ends_ = masks.line_ends;
    stops_ = ~masks.separators | masks.line_ends;
    unread_ = ~std::uint64_t{0};
  }

  const char* block_;
  const char* end_;
  std::uint64_t separators_ = 0;
  std::uint64_t line_ends_ = 0;
  std::uint64_t stops_ = 0;   // field bytes and line ends
  std::uint64_t unread_ = 0;  // the bits of the block from the cursor on
};

// Converts one value token the scalar way into `out`, or words its fault.
[[gnu::always_inline]] inline std::optional<FileFault> convert_value(std::string_view token,
                                                                     std::uint64_t line_number,
                                                                     std::string_view path, float& out) {
  std::uint32_t bits;
  const auto status = numeric::parse_f32_token(token, bits);
  if (status != numeric::F32Status::accepted) [[unlikely]] {
    if (status == numeric::F32Status::capacity_breach) {
      internal_failure("the digit comparison's big integer outgrew its capacity");
    }
    return row_fault(path, line_number, "bad data field");
  }
  out = std::bit_cast<float>(bits);
  return std::nullopt;
}

// Decodes the row at the cursor, leaving the cursor at its line end.
[[gnu::always_inline]] inline std::optional<FileFault> decode_row(DataWalk& walk, std::uint64_t line_number,
                                                                  std::string_view path, RowBuffers& rows) {
  std::int32_t time[6];
  for (std::size_t i = 0; i < 6; ++i) {
    auto parsed = parse_i32_required(walk.next_field(), line_number, path, TIME_FIELDS[i]);
    if (auto* fault = std::get_if<FileFault>(&parsed)) return std::move(*fault);
    time[i] = std::get<std::int32_t>(parsed);
  }

  if (!walk.next_field()) return row_fault(path, line_number, "missing field 7");

  rows.values.reserve_more(VALUES_PER_ROW);
  float* const out = rows.values.unused();
  for (std::size_t i = 0; i < VALUES_PER_ROW; ++i) {
    const auto field = walk.next_field();
    if (!field) return row_fault(path, line_number, "missing data field");
    if (auto fault = convert_value(*field, line_number, path, out[i])) return fault;
  }
  rows.values.extend_by(VALUES_PER_ROW);

  if (walk.next_field()) return row_fault(path, line_number, "too many fields");

  rows.timestamps.push_back(timestamp_ms(time[0], time[1], time[2], time[3], time[4], time[5]));
  return std::nullopt;
}

// The bits below bit k of a 64-bit mask, for 0 <= k <= 64.
inline std::uint64_t bits_below(unsigned k) noexcept {
  return k >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << k) - 1;
}

inline constexpr std::size_t FIELDS_PER_ROW = 6 + 1 + VALUES_PER_ROW;

// Writes the positions of the set bits of `bits`, plus `base`, to `at`,
// eight at a time: `at` must have room for the count rounded up to a
// multiple of eight, and the entries past the count are undefined.  One
// branch per eight positions, not one per bit.  The stores are volatile so
// that they stay single stores: clang otherwise gathers the eight positions
// into a vector with a chain of inserts, which costs more than the eight
// single stores.
[[gnu::always_inline]] inline void set_bit_positions(std::uint64_t bits, std::uint32_t base,
                                                     std::uint32_t* at) noexcept {
  const int count = std::popcount(bits);
  for (int done = 0; done < count; done += 8, at += 8) {
#pragma GCC unroll 8
    for (unsigned i = 0; i < 8; ++i) {
      static_cast<volatile std::uint32_t*>(at)[i] = base + Blocks::trailing_zeros(bits);
      bits &= bits - 1;
    }
  }
}

// The commonest time field, one to eight digits, as one word: eight bytes
// are loaded from its start (the window keeps room for them) and those past
// the field replaced by leading '0' digits.  Returns false for any other
// field, which the byte-wise conversion then takes.
inline bool window_integer(const char* p, std::uint32_t n, std::int32_t& out) noexcept {
  if (n - 1 >= 8) return false;  // n == 0 wraps around
  constexpr std::uint64_t ZERO_DIGITS = 0x3030303030303030ULL;
  const std::uint64_t w = (numeric::load_eight(p) << (8 * (8 - n))) | ((ZERO_DIGITS >> (8 * n - 1)) >> 1);
  if (!numeric::is_eight_digits(w)) return false;
  out = static_cast<std::int32_t>(numeric::eight_digits_value(w));
  return true;
}

// The field starts and ends of a line of `blocks` classified blocks whose
// LF is at `lf`: false when the line does not have exactly 18 fields.  A
// field starts at a byte that is not a separator after one that is (the
// line's start counts as one) and ends at a separator after a field byte;
// the line's bytes are those before its LF, and the LF can end the last
// field.  `first` and `last` need room for 18 + 7 positions.
template <unsigned blocks>
[[gnu::always_inline]] inline bool find_fields(const Masks* masks, unsigned lf, std::uint32_t* first,
                                               std::uint32_t* last) noexcept {
  std::uint64_t starts[blocks];
  std::uint64_t ends[blocks];
  std::uint64_t before = 1;  // whether the byte before the block is a separator
  int fields = 0;
  for (unsigned b = 0; b < blocks; ++b) {
    const std::uint64_t separators = masks[b].separators;
    const std::uint64_t after_separator = (separators << 1) | before;
    before = separators >> 63;
    // The block's bytes up to the LF.
    const unsigned offset = 64 * b;
    const std::uint64_t line = lf < offset ? 0 : bits_below(lf - offset);
    const std::uint64_t line_and_lf = lf < offset ? 0 : bits_below(lf - offset + 1);
    starts[b] = ~separators & after_separator & line;
    ends[b] = separators & ~after_separator & line_and_lf;
    fields += std::popcount(starts[b]);
  }
  if (fields != static_cast<int>(FIELDS_PER_ROW)) return false;
  unsigned first_at = 0;
  unsigned last_at = 0;
  for (unsigned b = 0; b < blocks; ++b) {
    set_bit_positions(starts[b], 64 * b, first + first_at);
    set_bit_positions(ends[b], 64 * b, last + last_at);
    first_at += static_cast<unsigned>(std::popcount(starts[b]));
    last_at += static_cast<unsigned>(std::popcount(ends[b]));
  }
  return true;
}

// The commonest row, decoded from the two or four blocks at its line's
// start (`line`, with at least two blocks and BATCH_MARGIN bytes before `end`): its LF among them
// and exactly 18 fields, each of which converts.  Returns the start of the
// next line; returns nullptr, having stored nothing, for any other line,
// which the field-by-field decoder then decodes or words the fault of.
//
// All field boundaries of the line come from its classified blocks at
// once, so the next line's start depends on the LF alone, not on a walk
// through the fields, and the conversions of one row overlap the search of
// the next.
//
// The window keeps BATCH_MARGIN bytes of the data after the blocks it
// classifies, so that the vector conversions may load sixteen bytes from
// any field's start.
inline constexpr std::size_t BATCH_MARGIN = 16;

[[gnu::always_inline]] inline const char* decode_window_row(const char* line, const char* end,
                                                            RowBuffers& rows, DayCache& days,
                                                            Layouts& layouts) {
  constexpr std::size_t BLOCK = DataWalk::BLOCK;
  Masks masks[4];
  masks[0] = Blocks::classify(line);
  masks[1] = Blocks::classify(line + BLOCK);
  std::uint32_t first[FIELDS_PER_ROW + 7];
  std::uint32_t last[FIELDS_PER_ROW + 7];
  unsigned lf;
  if ((masks[0].line_ends | masks[1].line_ends) != 0) {
    // Lines of up to 128 bytes.
    lf = masks[0].line_ends != 0 ? static_cast<unsigned>(std::countr_zero(masks[0].line_ends))
                                 : 64 + static_cast<unsigned>(std::countr_zero(masks[1].line_ends));
    if (!find_fields<2>(masks, lf, first, last)) return nullptr;
  } else {
    // Lines of 129 to 256 bytes.
    if (static_cast<std::size_t>(end - line) < 4 * BLOCK + BATCH_MARGIN) return nullptr;
    masks[2] = Blocks::classify(line + 2 * BLOCK);
    masks[3] = Blocks::classify(line + 3 * BLOCK);
    if ((masks[2].line_ends | masks[3].line_ends) == 0) return nullptr;
    lf = masks[2].line_ends != 0 ? 128 + static_cast<unsigned>(std::countr_zero(masks[2].line_ends))
                                 : 192 + static_cast<unsigned>(std::countr_zero(masks[3].line_ends));
    if (!find_fields<4>(masks, lf, first, last)) return nullptr;
  }
  // A line of a layout not seen before is decoded from that layout at once
  // (the window's room is the most a layout loads).
  if (const auto* layout = layouts.learn(line, lf, first, last)) {
    if (Layouts::decode_with(*layout, line, rows, days)) return line + lf + 1;
  }
  const auto field = [&](std::size_t i) { return std::string_view(line + first[i], last[i] - first[i]); };

  std::int32_t time[6];
  for (std::size_t i = 0; i < 6; ++i) {
    if (!window_integer(line + first[i], last[i] - first[i], time[i])) {
      const auto value = numeric::parse_i32_token(field(i));
      if (!value) return nullptr;
      time[i] = *value;
    }
  }

  rows.values.reserve_more(VALUES_PER_ROW);
  float* const out = rows.values.unused();
  for (unsigned pending = ValueBatch::convert(line, first + 7, last + 7, out); pending != 0;
       pending &= pending - 1) {
    const auto i = static_cast<std::size_t>(std::countr_zero(pending));
    std::uint32_t bits;
    if (numeric::parse_f32_token(field(7 + i), bits) != numeric::F32Status::accepted) return nullptr;
    out[i] = std::bit_cast<float>(bits);
  }
  rows.values.extend_by(VALUES_PER_ROW);
  rows.timestamps.push_back(
      timestamp_ms(days.day_start(time[0], time[1]), time[2], time[3], time[4], time[5]));
  return line + lf + 1;
}

std::optional<FileFault> decode_lines(std::string_view data, std::uint64_t& line_number,
                                      std::string_view path, RowBuffers& rows) {
  report_kernel_run(QUILLROW_KERNEL_NAME);
  const char* line = data.data();
  const char* const end = line + data.size();
  // Lines the window does not take (longer ones, say) make it rest for a
  // while, so that a file of such lines does not pay for it on every line.
  constexpr unsigned WINDOW_REST = 64;
  unsigned window_rest = 0;
  DayCache days;
  Layouts layouts;
  while (line < end) {
    ++line_number;
    if (const char* next = layouts.decode(line, end, rows, days)) {
      line = next;
      continue;
    }
    if (window_rest != 0) {
      --window_rest;
    } else if (end - line >= static_cast<std::ptrdiff_t>(2 * DataWalk::BLOCK + BATCH_MARGIN)) {
      if (const char* next = decode_window_row(line, end, rows, days, layouts)) {
        line = next;
        continue;
      }
      window_rest = WINDOW_REST;
    }
    DataWalk walk(line, end);
    if (!walk.skip_blank_line()) {
      if (auto fault = decode_row(walk, line_number, path, rows)) return fault;
      walk.finish_line();
    }
    line = walk.position();
  }
  return std::nullopt;
}

}  // namespace
}  // namespace QUILLROW_KERNEL_NAMESPACE
