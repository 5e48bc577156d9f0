// The row decoder's kernel: the field splitter and the decoding of one data
// row, written once over a block classifier and compiled once per
// instruction set.  row_decoder.cpp includes this file several times, each
// time inside a namespace of its own that defines `Blocks` (the classifier
// of that instruction set) and inside a region that compiles every function
// for that instruction set's target.  So each copy is a distinct set of
// functions, all inlining their own classifier, and nothing compiled for a
// wider target can be chosen in place of a baseline function.
//
// Blocks::separators(p) turns the 64 bytes at p into a bit mask of their
// separators (TAB, LF, FF, CR, SPACE), bit i for byte i.
//
// No include guard, no includes: the includer provides both.

// Splitting a data line into fields.  A field is a maximal run of bytes
// that are not separators.  The line is classified 64 bytes at a time, and
// fields are then found with count-trailing-zeros on the mask instead of a
// compare-and-branch per byte.
//
// Loads never pass `readable_end` (the end of the mapping): a block that
// would is classified from a zero-padded local copy of its readable bytes.
// Bits for bytes at and after the end of the line are set, so the line end
// acts as a separator.
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
      mask = Blocks::separators(block_);
    } else {
      alignas(64) char padded[BLOCK] = {};
      std::memcpy(padded, block_, readable < in_line ? readable : in_line);
      mask = Blocks::separators(padded);
    }
    if (in_line < BLOCK) mask |= ~std::uint64_t{0} << in_line;
    separators_ = mask;
  }

  const char* block_;
  const char* line_end_;
  const char* readable_end_;
  std::uint64_t separators_ = 0;
  unsigned position_ = 0;  // bits below this index of the current block are consumed
};

inline std::optional<FileFault> decode_row(std::string_view line, const char* readable_end,
                                           std::uint64_t line_number, std::string_view path,
                                           RowBuffers& rows) {
  FieldSplitter cursor(line, readable_end);

  std::int32_t time[6];
  for (std::size_t i = 0; i < 6; ++i) {
    auto parsed = parse_i32_required(cursor.next(), line_number, path, TIME_FIELDS[i]);
    if (auto* fault = std::get_if<FileFault>(&parsed)) return std::move(*fault);
    time[i] = std::get<std::int32_t>(parsed);
  }

  if (!cursor.next()) return row_fault(path, line_number, "missing field 7");

  rows.values.reserve_more(VALUES_PER_ROW);
  for (std::size_t i = 0; i < VALUES_PER_ROW; ++i) {
    const auto field = cursor.next();
    if (!field) return row_fault(path, line_number, "missing data field");
    std::uint32_t bits;
    const auto status = numeric::parse_f32_token(*field, bits);
    if (status != numeric::F32Status::accepted) [[unlikely]] {
      if (status == numeric::F32Status::capacity_breach) {
        internal_failure("the digit comparison's big integer outgrew its capacity");
      }
      return row_fault(path, line_number, "bad data field");
    }
    rows.values.append_reserved(std::bit_cast<float>(bits));
  }

  if (!cursor.only_separators_left()) return row_fault(path, line_number, "too many fields");

  rows.timestamps.push_back(timestamp_ms(time[0], time[1], time[2], time[3], time[4], time[5]));
  return std::nullopt;
}
