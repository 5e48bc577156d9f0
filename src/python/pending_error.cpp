#include "python/pending_error.hpp"

#include <cstdio>
#include <string_view>

#include "python/once.hpp"
#include "support/internal_failure.hpp"

namespace quillrow::python {

namespace {

constexpr const char PANIC_DOC[] =
    "The exception raised when quillrow's native code fails internally.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it "
    "will typically propagate all the way up the stack and cause the Python "
    "interpreter to exit.";

// The class lives for the rest of the process; Once never releases it.
Once<PyObject*> PANIC_EXCEPTION;

// The UTF-8 form of a str.  A lone surrogate has none; it is kept in the
// three bytes of its "surrogatepass" encoding, which the raising side decodes
// back, so a name in a message reads as CPython itself would show it.
Text text_of(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
    return Text(data, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return Text("\xEF\xBF\xBD");  // U+FFFD: never an empty placeholder
  }
  return Text(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

}  // namespace

PyObject* panic_exception_type() {
  const auto* made = PANIC_EXCEPTION.get_or_make([]() -> std::optional<PyObject*> {
    PyObject* type =
        PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", PANIC_DOC, PyExc_BaseException, nullptr);
    if (type == nullptr) return std::nullopt;
    return type;
  });
  return made == nullptr ? nullptr : *made;
}

Text str_of(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (!text) {
    PyErr_Clear();
    return Text("<unprintable object>");
  }
  return text_of(text.get());
}

Text qualname_of(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return Text("<failed to extract type name>");
  }
  return text_of(name.get());
}

PendingError PendingError::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    PyErr_Fetch(&type, &value, &traceback);
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);

  PendingError error;
  error.type_ = PyRef::steal(type);
  error.value_ = PyRef::steal(value);
  error.traceback_ = PyRef::steal(traceback);

  const PyObject* const* panic = PANIC_EXCEPTION.peek();
  if (panic != nullptr && error.type_.get() == *panic) {
    Text text = str_of(error.value_.get());
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    std::move(error).restore();
    PyErr_PrintEx(0);
    internal_failure(text);
  }
  return error;
}

void PendingError::restore() && noexcept {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

Text PendingError::describe() const {
  Text out = qualname_of(reinterpret_cast<PyTypeObject*>(type_.get()));
  out += ": ";
  out += str_of(value_.get());
  return out;
}

Text PendingError::debug() const {
  Text out("PyErr { type: ");
  PyRef type_repr = PyRef::steal(PyObject_Repr(type_.get()));
  PyRef value_repr = PyRef::steal(PyObject_Repr(value_.get()));
  PyErr_Clear();
  out += type_repr ? str_of(type_repr.get()) : Text("<unknown>");
  out += ", value: ";
  out += value_repr ? str_of(value_repr.get()) : Text("<unknown>");
  out += ", traceback: ";
  out += traceback_ ? str_of(traceback_.get()) : Text("None");
  out += " }";
  return out;
}

}  // namespace quillrow::python
