#include "module/call_error.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The XSI strerror_r, which g++'s _GNU_SOURCE hides behind the GNU variant.
// NOLINTNEXTLINE(bugprone-reserved-identifier): glibc's own name for it
extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen) noexcept;

namespace quillrow::module {

using python::PyRef;

namespace {

PyObject* os_error_class(int code) {
  switch (code) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EPERM:
    case EACCES: return PyExc_PermissionError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case EPIPE: return PyExc_BrokenPipeError;
    case EEXIST: return PyExc_FileExistsError;
    case EAGAIN: return PyExc_BlockingIOError;
    case ENOTDIR: return PyExc_NotADirectoryError;
    case EISDIR: return PyExc_IsADirectoryError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case EINTR: return PyExc_InterruptedError;
    case ENOMEM: return PyExc_MemoryError;
    default: return PyExc_OSError;
  }
}

// Raises `type(text)`: the instance carries the text as its one argument.
void raise_with_text(PyObject* type, std::string_view text, const char* errors = nullptr) {
  PyRef message =
      PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), errors));
  if (!message) return;  // the decoding error is what Python sees
  PyErr_SetObject(type, message.get());
}

// Names taken from Python objects may hold lone surrogates in their
// "surrogatepass" form (see str_of); they decode back to the same characters.
constexpr const char* KEEP_SURROGATES = "surrogatepass";

}  // namespace

Text os_error_text(int code) {
  char buffer[128] = {};
  // glibc reports an unknown code as a failure but still writes
  // "Unknown error N"; that text is the right one to show.
  if (__xpg_strerror_r(code, buffer, sizeof buffer) != 0 && buffer[0] == '\0') {
    return concat("Unknown error ", code, " (os error ", code, ")");
  }
  return concat(std::string_view(buffer, ::strnlen(buffer, sizeof buffer)), " (os error ", code, ")");
}

void raise_call_error(CallError&& error) {
  struct Raise {
    void operator()(ArgumentError& e) const { raise_with_text(PyExc_TypeError, e.text, KEEP_SURROGATES); }
    void operator()(python::PendingError& e) const { std::move(e).restore(); }
    void operator()(sts::OsError& e) const {
      raise_with_text(os_error_class(e.code), os_error_text(e.code), "replace");
    }
    void operator()(sts::IoError& e) const { raise_with_text(PyExc_OSError, e.text); }
    void operator()(ValueFault& e) const { raise_with_text(PyExc_ValueError, e.message); }
  };
  std::visit(Raise{}, error);
}

void raise_internal_failure(const InternalFailure& failure) noexcept {
  report_internal_failure(failure);
  PyObject* panic = nullptr;
  try {
    panic = python::panic_exception_type();
  } catch (...) {
    panic = nullptr;
  }
  if (panic == nullptr) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  const Text& text = failure.text();
  const std::string_view shown =
      text.empty() ? std::string_view("quillrow's native code failed unexpectedly") : text;
  raise_with_text(panic, shown, KEEP_SURROGATES);
  if (!PyErr_ExceptionMatches(panic)) {
    // Not even surrogatepass decodes it: show the undecodable bytes as U+FFFD.
    PyErr_Clear();
    raise_with_text(panic, shown, "replace");
  }
}

}  // namespace quillrow::module
