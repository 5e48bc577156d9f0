// The walk over one mapped STS file: the header, then one data row per
// non-blank line.
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>

#include "sts/errors.hpp"
#include "sts/mapped_file.hpp"
#include "sts/row_decoder.hpp"

namespace quillrow::sts {

// Everything a successful walk holds.  Members are released in reverse
// order: value buffer, timestamp buffer, mapping, descriptor.
struct ScannedFile {
  FileDescriptor descriptor;
  MappedFile mapping;
  RowBuffers rows;

  // Unmaps the file and closes the descriptor once the rows no longer need
  // them.
  void release_file() noexcept {
    mapping.unmap();
    descriptor.close();
  }
};

// Rows reserved up front: one per 96 bytes of file.
constexpr std::uint64_t row_capacity_estimate(std::uint64_t file_size) noexcept {
  return file_size / 96;
}

// Estimate used when the file's size cannot be asked.
inline constexpr std::uint64_t FALLBACK_ROW_ESTIMATE = 2'800'000;

// Maps the open file, walks it and decodes its data rows.  Takes over the
// descriptor: on failure everything is released before returning.
std::variant<ScannedFile, ScanError> scan_sts_file(FileDescriptor descriptor, std::string_view path);

// Keyword test of one header line: +1 END_OBJECT, else +1 OBJECT, else none.
struct HeaderCounts {
  std::uint64_t objects = 0;
  std::uint64_t end_objects = 0;

  void count(std::string_view line) noexcept {
    if (line.find("END_OBJECT") != std::string_view::npos) {
      ++end_objects;
    } else if (line.find("OBJECT") != std::string_view::npos) {
      ++objects;
    }
  }
  // The header ends on the line where the blocks first balance.
  bool balanced() const noexcept { return objects > 0 && objects == end_objects; }
};

}  // namespace quillrow::sts
