#include "sts/row_decoder.hpp"

namespace quillrow::sts {

FileFault row_fault(std::string_view path, std::uint64_t line_number, std::string_view what,
                    std::string_view name) {
  return FileFault{concat("Invalid file ", path, " at line ", line_number, ": ", what, name)};
}

FileFault time_field_fault(bool missing, std::uint64_t line_number, std::string_view path,
                           std::string_view name) {
  return row_fault(path, line_number, missing ? "missing " : "bad ", name);
}

std::optional<FileFault> finish_rows(const RowBuffers& rows, std::string_view path) {
  if (rows.timestamps.empty()) return FileFault{concat("Invalid file ", path, ": no data rows found")};
  return std::nullopt;
}

}  // namespace quillrow::sts
