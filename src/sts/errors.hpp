// Failures of reading a file that are the file's or the system's fault, as
// values.  They carry what went wrong and where; the module boundary chooses
// the Python exception.
#pragma once

#include <variant>

#include "support/text.hpp"

namespace quillrow::sts {

// An operating-system call failed with this errno value.
struct OsError {
  int code;
};

// An I/O failure without an errno value.
struct IoError {
  enum class Kind { InvalidInput, InvalidData };
  Kind kind;
  const char* text;
};

// The file's content is not a readable STS file; the message names the file
// (and the line, for a faulty data row).
struct FileFault {
  Text message;
};

using ScanError = std::variant<OsError, IoError, FileFault>;

}  // namespace quillrow::sts
