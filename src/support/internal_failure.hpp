// The one exception type for internal failures: a broken expectation in the
// module's own code or in code it relies on.  It unwinds to the entry point
// of the call (or of the module's exec step), releasing whatever each frame
// owns on the way, and is raised there as PanicException.
#pragma once

#include <source_location>
#include <string_view>

#include "support/text.hpp"

namespace quillrow {

class InternalFailure {
 public:
  InternalFailure(Text text, std::source_location where) : text_(std::move(text)), where_(where) {}

  const Text& text() const noexcept { return text_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  Text text_;
  std::source_location where_;
};

[[noreturn]] void internal_failure(std::string_view text,
                                   std::source_location where = std::source_location::current());

// Writes the diagnostic of an internal failure (its text and its place in the
// source) to standard error.
void report_internal_failure(const InternalFailure& failure) noexcept;

}  // namespace quillrow
