// The hand-over of the filled buffers to Python: two arrays over the
// buffers' own memory, each kept alive by its own PySliceContainer.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "numpy_bridge/value_shape.hpp"
#include "python/pending_error.hpp"
#include "python/py_ref.hpp"
#include "sts/scanner.hpp"
#include "support/text.hpp"

namespace quillrow::numpy_bridge {

// A shape failure, raised as ValueError.
struct ShapeFault {
  Text message;
};

// Builds (timestamps, values) from a finished walk.  Takes the buffers over,
// releases the mapping and descriptor once both arrays exist, and returns the
// new tuple.  An interrupted first import of NumPy comes back as the pending
// Python error; internal failures are thrown.  Everything held is released
// on the way out.
std::variant<python::PyRef, ShapeFault, python::PendingError> build_result(sts::ScannedFile&& scanned);

}  // namespace quillrow::numpy_bridge
