#include "sts/header.hpp"

#include <cstring>

namespace quillrow::sts {

namespace {

// One line of the file: the bytes up to the next LF (or the end of the
// mapping), and the offset where the following line starts.
struct Line {
  std::string_view bytes;
  std::size_t next;
};

Line take_line(std::string_view file, std::size_t position) noexcept {
  const char* start = file.data() + position;
  const std::size_t left = file.size() - position;
  const void* lf = std::memchr(start, '\n', left);
  if (lf == nullptr) return {{start, left}, file.size()};
  const auto length = static_cast<std::size_t>(static_cast<const char*>(lf) - start);
  return {{start, length}, position + length + 1};
}

// One trailing CR is part of the line end; a second one stays in the line.
std::string_view drop_cr(std::string_view line) noexcept {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

std::optional<std::size_t> find_data_start(std::string_view file, std::uint64_t& line_number) noexcept {
  HeaderCounts header;
  std::size_t position = 0;
  while (position < file.size()) {
    const Line line = take_line(file, position);
    position = line.next;
    ++line_number;
    const std::string_view bytes = drop_cr(line.bytes);
    if (bytes.empty()) continue;
    header.count(bytes);
    if (header.balanced()) return position;
  }
  return std::nullopt;
}

}  // namespace quillrow::sts
