// The read_sts function: argument binding, opening the file, and the hand
// back of the result or the exception.
#pragma once

#include <Python.h>

namespace quillrow::module {

// Fast-call-with-keywords entry point of read_sts(path).
PyObject* read_sts_fastcall(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quillrow::module
