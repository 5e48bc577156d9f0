// A Python exception taken out of the interpreter's error indicator, so
// that it can travel as a value and be put back (or described) later.
#pragma once

#include <Python.h>

#include "python/py_ref.hpp"
#include "support/text.hpp"

namespace quillrow::python {

class PendingError {
 public:
  // Takes the pending exception, normalised.  With none pending this is a
  // SystemError.  A PanicException coming back from Python is not passed
  // on as an ordinary error: it is reported and resumed as an internal
  // failure carrying the same text.
  static PendingError fetch();

  // Puts the exception back as the interpreter's pending error.
  void restore() && noexcept;

  PyObject* type() const noexcept { return type_.get(); }
  PyObject* value() const noexcept { return value_.get(); }

  // "TypeName: message", for texts of internal failures.
  Text describe() const;
  // A debug rendering naming the type, the value and the traceback.
  Text debug() const;

 private:
  PyRef type_;
  PyRef value_;
  PyRef traceback_;
};

// str(object) as UTF-8 text; a failing conversion gives a placeholder.
// Lone surrogates are kept in their "surrogatepass" form: decode such text
// with that error handler.
Text str_of(PyObject* object);

// The `__qualname__` of a type, or "<failed to extract type name>".
Text qualname_of(PyTypeObject* type);

// The process-wide class for internal failures, "pyo3_runtime.PanicException",
// made on first use.  Returns null with a Python exception set if it cannot
// be made.
PyObject* panic_exception_type();

}  // namespace quillrow::python
