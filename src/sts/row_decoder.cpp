#include "sts/row_decoder.hpp"

#include <bit>

#include "sts/field_splitter.hpp"
#include "sts/timestamp.hpp"
#include "support/internal_failure.hpp"

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

std::optional<FileFault> decode_data_row(std::string_view line, std::uint64_t line_number,
                                         std::string_view path, RowBuffers& rows) {
  return decode_data_row(line, line.data() + line.size(), line_number, path, rows);
}

std::optional<FileFault> decode_data_row(std::string_view line, const char* readable_end,
                                         std::uint64_t line_number, std::string_view path, RowBuffers& rows) {
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

std::optional<FileFault> finish_rows(const RowBuffers& rows, std::string_view path) {
  if (rows.timestamps.empty()) return FileFault{concat("Invalid file ", path, ": no data rows found")};
  return std::nullopt;
}

}  // namespace quillrow::sts
