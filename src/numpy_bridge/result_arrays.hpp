// The hand-over of the filled buffers to Python: two arrays over the
// buffers' own memory, each kept alive by its own PySliceContainer.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "python/py_ref.hpp"
#include "sts/scanner.hpp"
#include "support/text.hpp"

namespace quillrow::numpy_bridge {

// Shape check of the value matrix: rows x 11 must equal the number of
// values.  Returns the text of the failure ("ShapeError/Kind: description").
inline std::optional<Text> check_value_shape(std::uint64_t rows, std::uint64_t values) {
  const std::uint64_t wanted = rows * sts::VALUES_PER_ROW;  // rows counts 8-byte elements: no wrap
  if (wanted > static_cast<std::uint64_t>(INT64_MAX)) return Text("ShapeError/Overflow: arithmetic overflow");
  if (wanted > values) return Text("ShapeError/OutOfBounds: out of bounds indexing");
  if (wanted < values) return Text("ShapeError/IncompatibleShape: incompatible shapes");
  return std::nullopt;
}

// A shape failure, raised as ValueError.
struct ShapeFault {
  Text message;
};

// Builds (timestamps, values) from a finished walk.  Takes the buffers over,
// releases the mapping and descriptor once both arrays exist, and returns the
// new tuple.  Internal failures are thrown; everything held is released on
// the way out.
std::variant<python::PyRef, ShapeFault> build_result(sts::ScannedFile&& scanned);

}  // namespace quillrow::numpy_bridge
