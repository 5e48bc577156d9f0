// Decoding of one data row: six integer time fields, a seventh field that
// must be present but is never read, and eleven decimal values.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "sts/errors.hpp"
#include "sts/numeric/parse.hpp"
#include "support/buffer.hpp"

namespace quillrow::sts {

inline constexpr std::size_t VALUES_PER_ROW = 11;

// The two growing results of a file: one timestamp per row, and eleven
// values per row, row after row.  Between rows the value buffer holds
// exactly VALUES_PER_ROW times as many elements as the timestamp buffer.
struct RowBuffers {
  Buffer<std::int64_t> timestamps;
  Buffer<float> values;  // destroyed first

  // Buffers with room reserved for the rows of a file of `file_size` bytes:
  // one row per 96 bytes of file.  They grow from there as needed.
  static RowBuffers for_file_size(std::uint64_t file_size) {
    // At most size / 96 rows, so 11 values per row cannot wrap.
    const std::uint64_t rows = file_size / 96;
    return {Buffer<std::int64_t>(rows), Buffer<float>(rows * VALUES_PER_ROW)};
  }
};

// Field separators: TAB, LF, FF, CR and SPACE.  Vertical tab, NUL and bytes
// from 0x80 up are ordinary field bytes.  A table lookup keeps the test to
// one load and no chain of compares.
inline constexpr auto SEPARATORS = [] {
  std::array<bool, 256> table{};
  for (char byte : {'\t', '\n', '\f', '\r', ' '})
    table[static_cast<unsigned char>(byte)] = true;
  return table;
}();

constexpr bool is_separator(char byte) noexcept {
  return SEPARATORS[static_cast<unsigned char>(byte)];
}

// "Invalid file PATH at line N: WHAT NAME", the message of a faulty row.
[[gnu::cold, gnu::noinline]] FileFault row_fault(std::string_view path, std::uint64_t line_number,
                                                 std::string_view what, std::string_view name = {});

// Words the fault of a time field: "missing NAME" when the line has no
// further field, "bad NAME" when the field is not an integer.
[[gnu::cold]] FileFault time_field_fault(bool missing, std::uint64_t line_number, std::string_view path,
                                         std::string_view name);

// Converts a required integer time field, or words the fault: `field` is
// empty when the line has no further field.
inline std::variant<std::int32_t, FileFault> parse_i32_required(std::optional<std::string_view> field,
                                                                std::uint64_t line_number,
                                                                std::string_view path,
                                                                std::string_view name) {
  if (field) {
    if (const auto value = numeric::parse_i32_token(*field)) [[likely]]
      return *value;
  }
  return time_field_fault(!field, line_number, path, name);
}

// The end of the data: at least one row must have been decoded.
std::optional<FileFault> finish_rows(const RowBuffers& rows, std::string_view path);

}  // namespace quillrow::sts
