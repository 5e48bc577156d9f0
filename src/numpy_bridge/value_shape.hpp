// The shape check of the value matrix before it is handed over: the value
// buffer must hold exactly 11 values per timestamp.
#pragma once

#include <cstdint>
#include <optional>

#include "sts/row_decoder.hpp"
#include "support/text.hpp"

namespace quillrow::numpy_bridge {

// Returns the failure as "ShapeError/Kind: description", or nothing when
// rows x 11 equals the number of values.
inline std::optional<Text> check_value_shape(std::uint64_t rows, std::uint64_t values) {
  const std::uint64_t wanted = rows * sts::VALUES_PER_ROW;  // rows counts 8-byte elements: no wrap
  if (wanted > static_cast<std::uint64_t>(INT64_MAX)) return Text("ShapeError/Overflow: arithmetic overflow");
  if (wanted > values) return Text("ShapeError/OutOfBounds: out of bounds indexing");
  if (wanted < values) return Text("ShapeError/IncompatibleShape: incompatible shapes");
  return std::nullopt;
}

}  // namespace quillrow::numpy_bridge
