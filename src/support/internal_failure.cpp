#include "support/internal_failure.hpp"

#include <cstdio>

namespace quillrow {

void internal_failure(std::string_view text, SourcePlace where) {
  throw InternalFailure(Text(text.data(), text.size()), where);
}

void report_internal_failure(const InternalFailure& failure) noexcept {
  const auto& where = failure.where();
  std::fprintf(stderr, "quillrow: internal failure at %s:%u in %s: %.*s\n", where.file_name(),
               static_cast<unsigned>(where.line()), where.function_name(),
               static_cast<int>(failure.text().size()), failure.text().data());
  std::fflush(stderr);
}

}  // namespace quillrow
