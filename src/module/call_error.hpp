// What a failing step of a call hands back instead of its result, and the
// one place where each kind becomes a Python exception.
#pragma once

#include <Python.h>

#include <variant>

#include "python/pending_error.hpp"
#include "sts/errors.hpp"
#include "support/internal_failure.hpp"
#include "support/text.hpp"

namespace quillrow::module {

// A fault in the call's arguments, raised as TypeError.
struct ArgumentError {
  Text text;
};

// A file-content fault or a shape fault, raised as ValueError.
struct ValueFault {
  Text message;
};

using CallError = std::variant<ArgumentError, python::PendingError, sts::OsError, sts::IoError, ValueFault>;

// Sets the Python exception for `error`.
void raise_call_error(CallError&& error);

// Sets PanicException for an internal failure, after writing its diagnostic
// to standard error.  Ends the process if even that cannot be raised.
void raise_internal_failure(const InternalFailure& failure) noexcept;

// The text of an errno value: the C library's description, then
// " (os error N)".
Text os_error_text(int code);

// Runs `body` (which returns a new reference, or null with an exception
// set) so that no C++ exception reaches the interpreter: internal failures
// become PanicException and exhausted memory MemoryError, after unwinding has
// released everything the body held.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const InternalFailure& failure) {
    raise_internal_failure(failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    raise_internal_failure(
        InternalFailure(Text("quillrow's native code failed unexpectedly"), SourcePlace::current()));
  }
  return nullptr;
}

}  // namespace quillrow::module
