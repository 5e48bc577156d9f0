// The one exception type for internal failures: a broken expectation in the
// module's own code or in code it relies on.  It unwinds to the entry point
// of the call (or of the module's exec step), releasing whatever each frame
// owns on the way, and is raised there as PanicException.
#pragma once

#include <cstdint>
#include <source_location>
#include <string_view>

#include "support/text.hpp"

namespace quillrow {

// The place in the source where a failure arose.  clang before 15 has no
// __builtin_source_location, so std::source_location is missing there (the
// fuzzing builds use clang 14); the older builtins give the same facts.
#if defined(__cpp_lib_source_location)
using SourcePlace = std::source_location;
#else
class SourcePlace {
 public:
  static constexpr SourcePlace current(const char* file = __builtin_FILE(),
                                       std::uint_least32_t line = __builtin_LINE(),
                                       const char* function = __builtin_FUNCTION()) noexcept {
    SourcePlace place;
    place.file_ = file;
    place.line_ = line;
    place.function_ = function;
    return place;
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr std::uint_least32_t line() const noexcept { return line_; }
  constexpr const char* function_name() const noexcept { return function_; }

 private:
  const char* file_ = "";
  std::uint_least32_t line_ = 0;
  const char* function_ = "";
};
#endif

class InternalFailure {
 public:
  InternalFailure(Text text, SourcePlace where) : text_(std::move(text)), where_(where) {}

  const Text& text() const noexcept { return text_; }
  const SourcePlace& where() const noexcept { return where_; }

 private:
  Text text_;
  SourcePlace where_;
};

[[noreturn]] void internal_failure(std::string_view text, SourcePlace where = SourcePlace::current());

// Writes the diagnostic of an internal failure (its text and its place in the
// source) to standard error.
void report_internal_failure(const InternalFailure& failure) noexcept;

}  // namespace quillrow
