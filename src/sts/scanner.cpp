#include "sts/scanner.hpp"

#include "sts/header.hpp"
#include "sts/kernel_table.hpp"

namespace quillrow::sts {

std::variant<ScannedFile, ScanError> scan_sts_file(FileDescriptor descriptor, std::string_view path) {
  ScannedFile scanned;
  scanned.descriptor = std::move(descriptor);

  auto mapped = MappedFile::open(scanned.descriptor);
  if (auto* error = std::get_if<ScanError>(&mapped)) return std::move(*error);
  scanned.mapping = std::move(std::get<MappedFile>(mapped));
  scanned.rows = RowBuffers::for_file_size(scanned.mapping.size());

  const std::string_view file = scanned.mapping.bytes();
  std::uint64_t line_number = 0;
  const auto data_start = find_data_start(file, line_number);
  if (!data_start) return FileFault{concat("Invalid file ", path, ": header END_OBJECT not found")};

  if (auto fault = decode_data_lines(file.substr(*data_start), line_number, path, scanned.rows))
    return std::move(*fault);
  if (auto fault = finish_rows(scanned.rows, path)) return std::move(*fault);
  return scanned;
}

}  // namespace quillrow::sts
