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

// Maps the open file, finds the end of its header and decodes its data
// rows.  Takes over the descriptor: on failure everything is released
// before returning.
std::variant<ScannedFile, ScanError> scan_sts_file(FileDescriptor descriptor, std::string_view path);

}  // namespace quillrow::sts
