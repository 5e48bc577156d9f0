// The header of an STS file: the lines before the data, up to the line on
// which its OBJECT and END_OBJECT keywords first balance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quillrow::sts {

// The keyword counts of the header.  A line that holds "END_OBJECT" counts
// as END_OBJECT, else one that holds "OBJECT" as OBJECT, else as neither;
// a line changes at most one count, by one.
struct HeaderCounts {
  std::uint64_t objects = 0;
  std::uint64_t end_objects = 0;

  // The header ends on the line where the blocks first balance.
  bool balanced() const noexcept { return objects > 0 && objects == end_objects; }
};

// Where the data of `file` begins: the offset just past the header's last
// line, or nothing when the header never ends.  Blank lines (empty, or a
// single CR) are skipped.  `line_number` ends as the number of the header's
// last line, the line before the data.
std::optional<std::size_t> find_data_start(std::string_view file, std::uint64_t& line_number) noexcept;

}  // namespace quillrow::sts
