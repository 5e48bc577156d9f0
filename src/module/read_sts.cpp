#include "module/read_sts.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "module/call_error.hpp"
#include "numpy_bridge/result_arrays.hpp"
#include "sts/scanner.hpp"
#include "support/buffer.hpp"

namespace quillrow::module {

using python::PendingError;
using python::PyRef;

namespace {

constexpr std::string_view FUNCTION = "read_sts()";
constexpr std::string_view PARAMETER = "path";

// Paths up to this many bytes are NUL-terminated on the stack.
constexpr std::size_t STACK_PATH_BYTES = 384;

template <class T>
using Outcome = std::variant<T, CallError>;

// Binds the one parameter `path` from the argument vector; keywords are
// examined before the missing-argument test.
Outcome<PyObject*> bind_path(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* path = nullptr;
  if (args != nullptr && nargs > 0) {
    if (nargs > 1) {
      return ArgumentError{concat(FUNCTION, " takes 1 positional arguments but ", nargs, " were given")};
    }
    path = args[0];
  }
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) PyErr_Clear();
    if (utf8 != nullptr && std::string_view(utf8, static_cast<std::size_t>(size)) == PARAMETER) {
      if (path != nullptr) {
        return ArgumentError{concat(FUNCTION, " got multiple values for argument '", PARAMETER, "'")};
      }
      path = args[nargs + i];
    } else {
      return ArgumentError{
          concat(FUNCTION, " got an unexpected keyword argument '", python::str_of(name), "'")};
    }
  }
  if (path == nullptr) {
    return ArgumentError{concat(FUNCTION, " missing 1 required positional argument: '", PARAMETER, "'")};
  }
  return path;
}

// A TypeError from converting the argument is re-raised as
// "argument 'path': ..." with no cause and the context suppressed.
CallError argument_conversion_error(const Text& text) {
  Text message = concat("argument '", PARAMETER, "': ", text);
  // The type's name may hold lone surrogates in their "surrogatepass" form.
  PyRef argument = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogatepass"));
  if (!argument) return PendingError::fetch();
  PyRef exception = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, argument.get()));
  if (!exception) return PendingError::fetch();
  PyException_SetCause(exception.get(), nullptr);  // also sets __suppress_context__
  PyErr_SetObject(PyExc_TypeError, exception.get());
  return PendingError::fetch();
}

// The path argument as UTF-8 text, exactly as the interpreter encodes it.
Outcome<Text> path_text(PyObject* path) {
  if (!PyUnicode_Check(path)) {
    if (path == Py_None) return argument_conversion_error(Text("'None' is not an instance of 'str'"));
    return argument_conversion_error(
        concat("'", python::qualname_of(Py_TYPE(path)), "' object is not an instance of 'str'"));
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(path, &size);
  if (utf8 == nullptr) return PendingError::fetch();  // UnicodeEncodeError, raised unchanged
  return Text(utf8, static_cast<std::size_t>(size));
}

// The outcome of one open() attempt: a descriptor, or -1 and errno.
struct OpenAttempt {
  int fd;
  int error;
};

// One open() with the interpreter lock given up, as CPython's own open()
// does: a FIFO waits here for a writer, and other Python threads run
// meanwhile.  Nothing between giving the lock up and taking it back touches
// Python or state shared between calls, and nothing there can throw; errno
// is read before the lock is taken back.
OpenAttempt open_without_interpreter_lock(const char* name) noexcept {
  PyThreadState* saved = PyEval_SaveThread();
  const int fd = ::open(name, O_RDONLY | O_CLOEXEC, 0666);
  const int error = fd < 0 ? errno : 0;
  PyEval_RestoreThread(saved);
  return {fd, error};
}

// Opens the file read-only.  The NUL-terminated name lives on the stack for
// ordinary paths and in a heap copy, freed on every way out, for long ones.
Outcome<sts::FileDescriptor> open_file(const Text& path) {
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): searches the bytes, the terminator is not wanted
  if (std::memchr(path.data(), '\0', path.size()) != nullptr) {
    return sts::IoError{sts::IoError::Kind::InvalidInput, "file name contained an unexpected NUL byte"};
  }
  char on_stack[STACK_PATH_BYTES];
  Buffer<char> on_heap;
  char* name = on_stack;
  if (path.size() >= STACK_PATH_BYTES) {
    on_heap = Buffer<char>(path.size() + 1);
    name = on_heap.data();
  }
  std::memcpy(name, path.data(), path.size());
  name[path.size()] = '\0';

  // Opening a FIFO waits for a writer, without the interpreter lock.  A
  // signal ends the wait with EINTR: with the lock back, run the Python
  // handlers then, so that Ctrl-C ends the call with KeyboardInterrupt, and
  // retry only when no handler raised.
  for (;;) {
    const OpenAttempt attempt = open_without_interpreter_lock(name);
    if (attempt.fd >= 0) return sts::FileDescriptor(attempt.fd);
    if (attempt.error != EINTR) return sts::OsError{attempt.error};
    if (PyErr_CheckSignals() != 0) return PendingError::fetch();
  }
}

CallError from_scan_error(sts::ScanError&& error) {
  return std::visit(
      [](auto&& e) -> CallError {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, sts::FileFault>) {
          return ValueFault{std::move(e.message)};
        } else {
          return e;
        }
      },
      std::move(error));
}

Outcome<PyRef> read_sts(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto bound = bind_path(args, nargs, kwnames);
  if (auto* error = std::get_if<CallError>(&bound)) return std::move(*error);

  // Released last, after everything the walk holds.
  auto text = path_text(std::get<PyObject*>(bound));
  if (auto* error = std::get_if<CallError>(&text)) return std::move(*error);
  const Text& path = std::get<Text>(text);

  auto opened = open_file(path);
  if (auto* error = std::get_if<CallError>(&opened)) return std::move(*error);

  auto scanned = sts::scan_sts_file(std::move(std::get<sts::FileDescriptor>(opened)), path);
  if (auto* error = std::get_if<sts::ScanError>(&scanned)) return from_scan_error(std::move(*error));

  auto built = numpy_bridge::build_result(std::move(std::get<sts::ScannedFile>(scanned)));
  if (auto* fault = std::get_if<numpy_bridge::ShapeFault>(&built))
    return ValueFault{std::move(fault->message)};
  if (auto* interrupted = std::get_if<PendingError>(&built)) return std::move(*interrupted);
  return std::move(std::get<PyRef>(built));
}

}  // namespace

PyObject* read_sts_fastcall(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto outcome = read_sts(args, nargs, kwnames);
    if (auto* error = std::get_if<CallError>(&outcome)) {
      raise_call_error(std::move(*error));
      return nullptr;
    }
    return std::get<PyRef>(outcome).release();
  });
}

}  // namespace quillrow::module
