// PySliceContainer: the owner object that keeps one result buffer alive as
// the base of its array, and frees it through the module's allocator when
// the array and all its views are gone.
#pragma once

#include <Python.h>

#include "python/py_ref.hpp"
#include "support/buffer.hpp"

namespace quillrow::numpy_bridge {

// Makes an owner for `buffer`.  The buffer belongs to the owner from the
// start; if no owner can be made it is freed before the internal failure is
// thrown.
python::PyRef make_slice_container(RawBuffer buffer);

}  // namespace quillrow::numpy_bridge
