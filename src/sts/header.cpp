#include "sts/header.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace quillrow::sts {

namespace {

constexpr std::string_view OBJECT = "OBJECT";
constexpr std::string_view END_ = "END_";

// The next "OBJECT" in `file` at or after `from`, or npos.  Both keywords
// hold it, and a header line without it changes no count, so the walk
// jumps from one occurrence to the next instead of visiting every line.
// The search hops over the file with memchr for 'J', the keyword's rarest
// letter in keyword text (most headers hold one J per OBJECT or
// END_OBJECT line), and checks the bytes around each hit.
std::size_t find_object(std::string_view file, std::size_t from) noexcept {
  constexpr std::size_t J = 2;  // offset of 'J' in "OBJECT"
  std::size_t at = from + J;
  while (at < file.size()) {
    const void* hit = std::memchr(file.data() + at, 'J', file.size() - at);
    if (hit == nullptr) return std::string_view::npos;
    const auto j = static_cast<std::size_t>(static_cast<const char*>(hit) - file.data());
    if (file.substr(j - J, OBJECT.size()) == OBJECT) return j - J;
    at = j + 1;
  }
  return std::string_view::npos;
}

// The number of LF bytes in `bytes`, 16 at a time: the compiler's generic
// vectors become SSE2 on x86-64 and NEON on AArch64.  A compare gives -1 in
// every matching lane, so subtracting it counts per lane; the lane counts
// are summed before they can reach 256.
std::uint64_t count_line_ends(std::string_view bytes) noexcept {
  // Unsigned lanes: a lane count passes 127 on the way to 255, which
  // signed 8-bit arithmetic could not hold.
  using Lanes = std::uint8_t __attribute__((vector_size(16)));
  constexpr std::size_t WIDTH = sizeof(Lanes);
  constexpr std::size_t MOST_BLOCKS = 255;
  const Lanes lf = Lanes{} + '\n';
  std::uint64_t count = 0;
  std::size_t i = 0;
  while (bytes.size() - i >= WIDTH) {
    Lanes counts{};
    const std::size_t blocks = std::min((bytes.size() - i) / WIDTH, MOST_BLOCKS);
    for (std::size_t b = 0; b < blocks; ++b, i += WIDTH) {
      Lanes block;
      std::memcpy(&block, bytes.data() + i, WIDTH);
      counts -= static_cast<Lanes>(block == lf);
    }
    for (std::size_t lane = 0; lane < WIDTH; ++lane)
      count += counts[lane];
  }
  for (; i < bytes.size(); ++i)
    count += bytes[i] == '\n' ? 1u : 0u;
  return count;
}

}  // namespace

// Equivalent to applying the keyword test to every non-blank line in turn:
// lines without "OBJECT" hold neither keyword, and a CR removed from a
// line's end or a blank line can hold none either.  A line counts as
// END_OBJECT when any of its occurrences of "OBJECT" follows "END_"; those
// four bytes hold no LF, so they lie on the occurrence's own line.  The
// occurrences are visited in file order, each line's up to its LF.
std::optional<std::size_t> find_data_start(std::string_view file, std::uint64_t& line_number) noexcept {
  HeaderCounts header;
  std::size_t at = find_object(file, 0);
  while (at != std::string_view::npos) {
    const void* lf = std::memchr(file.data() + at, '\n', file.size() - at);
    const std::size_t line_end =
        lf == nullptr ? file.size() : static_cast<std::size_t>(static_cast<const char*>(lf) - file.data());
    // The line's other occurrences are searched for within the line only:
    // after the header's last line, a search through the rest of the file
    // would read every data row.
    const std::string_view up_to_line_end = file.substr(0, line_end);
    bool closes = false;
    for (std::size_t on_line = at; on_line != std::string_view::npos;
         on_line = find_object(up_to_line_end, on_line + 1)) {
      closes = closes || (on_line >= END_.size() && file.substr(on_line - END_.size(), END_.size()) == END_);
    }
    if (closes) {
      ++header.end_objects;
    } else {
      ++header.objects;
    }
    if (header.balanced()) {
      // The lines up to here: one per LF, and the last one's when it has none.
      line_number += count_line_ends(file.substr(0, line_end)) + 1;
      return lf == nullptr ? file.size() : line_end + 1;
    }
    at = find_object(file, line_end);
  }
  // Every line of the file was header.
  line_number += count_line_ends(file) + (!file.empty() && file.back() != '\n' ? 1 : 0);
  return std::nullopt;
}

}  // namespace quillrow::sts
