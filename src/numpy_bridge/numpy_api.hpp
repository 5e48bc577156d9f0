// NumPy's C-API table, reached at run time through the `_ARRAY_API` capsule
// of NumPy's multiarray module, and the element descriptors of the results.
// No NumPy header is needed: the entries used are read by their published
// index into the table.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "python/pending_error.hpp"
#include "python/py_ref.hpp"

namespace quillrow::numpy_bridge {

using npy_intp = Py_ssize_t;

inline constexpr int NPY_FLOAT = 11;
inline constexpr int NPY_DATETIME = 21;
inline constexpr std::int32_t NPY_FR_ms = 8;
inline constexpr int NPY_ARRAY_WRITEABLE = 0x0400;

// A typed view of the table; every accessor reads one slot.
class NumpyApi {
 public:
  explicit NumpyApi(void** table) noexcept : table_(table) {}

  PyTypeObject* array_type() const noexcept { return static_cast<PyTypeObject*>(table_[SLOT_ARRAY_TYPE]); }
  PyObject* descr_from_type(int type_num) const noexcept {
    return reinterpret_cast<PyObject* (*)(int)>(table_[SLOT_DESCR_FROM_TYPE])(type_num);
  }
  // Consumes the reference to `descr`, even on failure.
  PyObject* new_from_descr(PyTypeObject* subtype, PyObject* descr, int nd, npy_intp* dims, npy_intp* strides,
                           void* data, int flags, PyObject* obj) const noexcept {
    using Fn = PyObject* (*)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*, int, PyObject*);
    return reinterpret_cast<Fn>(table_[SLOT_NEW_FROM_DESCR])(subtype, descr, nd, dims, strides, data, flags,
                                                             obj);
  }
  PyObject* descr_new_from_type(int type_num) const noexcept {
    return reinterpret_cast<PyObject* (*)(int)>(table_[SLOT_DESCR_NEW_FROM_TYPE])(type_num);
  }
  unsigned feature_version() const noexcept {
    return reinterpret_cast<unsigned (*)()>(table_[SLOT_FEATURE_VERSION])();
  }
  // Consumes the reference to `base`, even on failure.
  int set_base_object(PyObject* array, PyObject* base) const noexcept {
    return reinterpret_cast<int (*)(PyObject*, PyObject*)>(table_[SLOT_SET_BASE_OBJECT])(array, base);
  }

 private:
  enum Slot : int {
    SLOT_ARRAY_TYPE = 2,
    SLOT_DESCR_FROM_TYPE = 45,
    SLOT_NEW_FROM_DESCR = 94,
    SLOT_DESCR_NEW_FROM_TYPE = 96,
    SLOT_FEATURE_VERSION = 211,
    SLOT_SET_BASE_OBJECT = 282,
  };
  void** table_;
};

// NumPy (or the interpreter) returned no object where one was required:
// the pending error is reported as unraisable and the call ends with an
// internal failure.
[[noreturn]] void null_object_failure();

// The table, imported on first need (NumPy is never imported before that).
// Throws InternalFailure when NumPy cannot be reached; a later call tries
// again.
NumpyApi get_numpy_table();

// Reaches the table before anything depends on it.  An interruption of the
// import (KeyboardInterrupt, SystemExit, other BaseExceptions that are not
// Exceptions) and MemoryError come back unchanged, to be raised as they are;
// nothing is kept, so the next call probes again.  Any other failure to
// reach NumPy throws InternalFailure as get_numpy_table() does.
std::optional<python::PendingError> probe_numpy();

// A new reference to the float32 descriptor.
python::PyRef get_float32_dtype();

// A new reference to the process's one datetime64[ms] descriptor.
python::PyRef get_datetime_ms_dtype();

}  // namespace quillrow::numpy_bridge
