#include "sts/scanner.hpp"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

namespace quillrow::sts {

namespace {

// One line of the file: the bytes up to the next LF (or the end of the
// mapping), and the offset where the following line starts.
struct Line {
  std::string_view bytes;
  std::size_t next;
};

inline Line take_line(std::string_view file, std::size_t position) noexcept {
  const char* start = file.data() + position;
  const std::size_t left = file.size() - position;
  const void* lf = std::memchr(start, '\n', left);
  if (lf == nullptr) return {{start, left}, file.size()};
  const auto length = static_cast<std::size_t>(static_cast<const char*>(lf) - start);
  return {{start, length}, position + length + 1};
}

// One trailing CR is part of the line end; a second one stays in the line.
inline std::string_view drop_cr(std::string_view line) noexcept {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

FileFault header_not_closed(std::string_view path) {
  return FileFault{concat("Invalid file ", path, ": header END_OBJECT not found")};
}

}  // namespace

std::variant<ScannedFile, ScanError> scan_sts_file(FileDescriptor descriptor, std::string_view path) {
  ScannedFile scanned;
  scanned.descriptor = std::move(descriptor);
  const int fd = scanned.descriptor.get();

  struct stat status{};
  const std::uint64_t estimate = ::fstat(fd, &status) == 0
                                     ? row_capacity_estimate(static_cast<std::uint64_t>(status.st_size))
                                     : FALLBACK_ROW_ESTIMATE;

  if (::fstat(fd, &status) != 0) return OsError{errno};
  if (status.st_size < 0) return IoError{IoError::Kind::InvalidData, "memory map length overflows isize"};
  const auto length = static_cast<std::uint64_t>(status.st_size);
  if (length > std::numeric_limits<std::size_t>::max()) {
    return IoError{IoError::Kind::InvalidData, "memory map length overflows isize"};
  }

  (void)page_size();
  void* base =
      ::mmap(nullptr, length == 0 ? 1 : static_cast<std::size_t>(length), PROT_READ, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return OsError{errno};
  scanned.mapping = MappedFile(static_cast<const std::byte*>(base), length);

  if (estimate != 0) {
    // 44 bytes per row of values: the estimate (at most size / 96) times 11
    // cannot wrap.
    scanned.rows.timestamps = Buffer<std::int64_t>(estimate);
    scanned.rows.values = Buffer<float>(estimate * VALUES_PER_ROW);
  }

  if (length == 0) return header_not_closed(path);

  const std::string_view file = scanned.mapping.bytes();
  std::size_t position = 0;
  std::uint64_t line_number = 0;

  HeaderCounts header;
  bool in_header = true;
  while (in_header && position < file.size()) {
    const Line line = take_line(file, position);
    position = line.next;
    ++line_number;
    const std::string_view bytes = drop_cr(line.bytes);
    if (bytes.empty()) continue;
    header.count(bytes);
    in_header = !header.balanced();
  }
  if (in_header) return header_not_closed(path);

  if (auto fault = decode_data_lines(file.substr(position), line_number, path, scanned.rows))
    return std::move(*fault);

  if (auto fault = finish_rows(scanned.rows, path)) return std::move(*fault);
  return scanned;
}

}  // namespace quillrow::sts
