#include "numpy_bridge/numpy_api.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

#include "python/fork_safe_mutex.hpp"
#include "python/once.hpp"
#include "python/pending_error.hpp"
#include "support/internal_failure.hpp"

namespace quillrow::numpy_bridge {

using python::Once;
using python::PendingError;
using python::PyRef;

namespace {

constexpr std::string_view CAPSULE_FAILURE = "Failed to access NumPy array API capsule";

// An exception that the probe of NumPy must not turn into an internal
// failure: Ctrl-C (KeyboardInterrupt), SystemExit and the other
// BaseExceptions that are not Exceptions, and MemoryError.  It unwinds out
// of the one-time creations (which then store nothing, so the next call
// probes again) and is handed back as a value by probe_numpy(); it never
// leaves this file.
struct PassThrough {
  PendingError error;
};

bool passes_through(const PendingError& error) {
  return !PyErr_GivenExceptionMatches(error.type(), PyExc_Exception) ||
         PyErr_GivenExceptionMatches(error.type(), PyExc_MemoryError);
}

[[noreturn]] void capsule_failure_from_python() {
  PendingError error = PendingError::fetch();
  if (passes_through(error)) throw PassThrough{std::move(error)};
  internal_failure(concat(CAPSULE_FAILURE, ": ", error.describe()));
}

[[noreturn]] void capsule_failure(std::string_view why) {
  internal_failure(concat(CAPSULE_FAILURE, ": ", why));
}

PyRef checked(PyObject* object) {
  if (object == nullptr) capsule_failure_from_python();
  return PyRef::steal(object);
}

PyRef import(std::string_view name) {
  PyRef text = checked(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  return checked(PyImport_Import(text.get()));
}

PyRef attribute(PyObject* object, std::string_view name) {
  PyRef text = checked(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  return checked(PyObject_GetAttr(object, text.get()));
}

// "numpy._core" from NumPy 2 on, "numpy.core" before.
Once<std::string_view> NUMPY_CORE_NAME;
// NUMPY_CORE_NAME followed by ".multiarray".
Once<std::string_view> MOD_NAME;
// The capsule is kept for the life of the process so the table stays valid.
Once<void**> PY_ARRAY_API;
Once<unsigned> API_VERSION;

std::string_view numpy_core_name() {
  return *NUMPY_CORE_NAME.get_or_make([]() -> std::optional<std::string_view> {
    PyRef numpy = import("numpy");
    PyRef version = attribute(numpy.get(), "__version__");
    PyRef lib = import("numpy.lib");
    PyRef numpy_version = attribute(lib.get(), "NumpyVersion");
    PyRef args = checked(PyTuple_New(1));
    PyTuple_SET_ITEM(args.get(), 0, version.release());
    PyRef parsed = checked(PyObject_Call(numpy_version.get(), args.get(), nullptr));
    PyRef major_object = attribute(parsed.get(), "major");
    long major = 0;
    if (PyLong_Check(major_object.get())) {
      major = PyLong_AsLong(major_object.get());
    } else {
      PyRef index = checked(PyNumber_Index(major_object.get()));
      major = PyLong_AsLong(index.get());
    }
    if (major == -1 && PyErr_Occurred()) capsule_failure_from_python();
    if (major < 0 || major > 255) capsule_failure("NumPy's major version is out of range");
    return major >= 2 ? std::string_view("numpy._core") : std::string_view("numpy.core");
  });
}

std::string_view mod_name() {
  return *MOD_NAME.get_or_make([]() -> std::optional<std::string_view> {
    return numpy_core_name() == "numpy._core" ? std::string_view("numpy._core.multiarray")
                                              : std::string_view("numpy.core.multiarray");
  });
}

unsigned api_version() {
  return *API_VERSION.get_or_make(
      []() -> std::optional<unsigned> { return get_numpy_table().feature_version(); });
}

// The datetime descriptor cache: one descriptor per unit, owned by the
// cache for the life of the process and shared by every timestamp array.
struct DatetimeCache {
  // Its holder is read without the lock by a thread that finds it taken,
  // to tell re-entry from contention.
  python::ForkSafeMutex lock;
  bool broken = false;  // set when a thread failed while holding the lock; never cleared
  bool map_made = false;
  struct Entry {
    std::int32_t unit;
    PyObject* descr;
  };
  std::array<Entry, 16> entries{};
  std::size_t count = 0;
};
DatetimeCache DTYPES;

// The head of a datetime descriptor object as NumPy lays it out, up to
// `c_metadata`: NumPy 1's, and NumPy 2's (C-API feature version 0x12 and
// later), which grew the descriptor.  Both begin with the interpreter's own
// object header, whose size is the build's: 16 bytes with the GIL, 32 in a
// free-threaded build, which moves every field after it.
struct DescrHeadV1 {
  PyObject_HEAD PyTypeObject* typeobj;
  char kind, type, byteorder, flags;
  int type_num, elsize, alignment;
  void *subarray, *fields, *names, *f, *metadata, *c_metadata;
};
struct DescrHeadV2 {
  PyObject_HEAD PyTypeObject* typeobj;
  char kind, type, byteorder, former_flags;
  int type_num;
  std::uint64_t flags;
  Py_ssize_t elsize, alignment;
  void *metadata, *hash, *reserved_null[2], *subarray, *fields, *names, *c_metadata;
};
#if !defined(Py_GIL_DISABLED) && UINTPTR_MAX == UINT64_MAX
static_assert(offsetof(DescrHeadV1, c_metadata) == 80 && offsetof(DescrHeadV2, c_metadata) == 112,
              "NumPy's descriptor layout on 64-bit builds with the GIL");
#endif

std::size_t c_metadata_offset(unsigned version) {
  return version >= 0x12 ? offsetof(DescrHeadV2, c_metadata) : offsetof(DescrHeadV1, c_metadata);
}

// The datetime metadata that `c_metadata` points to: an auxiliary-data header
// of four pointers, then the unit and the multiplier.
struct DatetimeMetadata {
  void* header[4];
  std::int32_t base;
  std::int32_t num;
};

PyRef get_datetime_dtype(std::int32_t unit) {
  const NumpyApi api = get_numpy_table();
  const unsigned version = api_version();

  std::unique_lock<python::ForkSafeMutex> held(DTYPES.lock, std::try_to_lock);
  if (!held.owns_lock()) {
    if (DTYPES.lock.holder == std::this_thread::get_id()) {
      internal_failure("the dtype cache was re-entered by the thread holding it");
    }
    PyThreadState* saved = PyEval_SaveThread();
    held.lock();
    PyEval_RestoreThread(saved);
  }
  if (DTYPES.broken) {
    held.unlock();
    internal_failure("dtype cache poisoned: a thread failed while holding the cache lock");
  }
  DTYPES.lock.holder = std::this_thread::get_id();
  DTYPES.map_made = true;

  PyObject* found = nullptr;
  for (std::size_t i = 0; i < DTYPES.count; ++i) {
    if (DTYPES.entries[i].unit == unit) found = DTYPES.entries[i].descr;
  }
  if (found == nullptr) {
    PyObject* descr = DTYPES.count < DTYPES.entries.size() ? api.descr_new_from_type(NPY_DATETIME) : nullptr;
    if (descr == nullptr) {
      // Python code (the unraisable hook) must not run under the cache lock.
      DTYPES.broken = true;
      DTYPES.lock.holder = std::thread::id();
      held.unlock();
      null_object_failure();
    }
    void* metadata = nullptr;
    // NOLINTNEXTLINE(bugprone-multi-level-implicit-pointer-conversion): copies the pointer's own bytes
    std::memcpy(&metadata, reinterpret_cast<char*>(descr) + c_metadata_offset(version), sizeof metadata);
    auto* meta = static_cast<DatetimeMetadata*>(metadata);
    meta->base = unit;
    meta->num = 1;
    DTYPES.entries[DTYPES.count++] = {unit, descr};
    found = descr;
  }
  PyRef result = PyRef::borrow(found);
  DTYPES.lock.holder = std::thread::id();
  return result;
}

}  // namespace

void null_object_failure() {
  PyErr_WriteUnraisable(nullptr);
  internal_failure("PyObject pointer is null");
}

std::optional<PendingError> probe_numpy() {
  try {
    (void)get_numpy_table();
  } catch (PassThrough& interrupted) {
    return std::move(interrupted.error);
  }
  return std::nullopt;
}

NumpyApi get_numpy_table() {
  return NumpyApi(*PY_ARRAY_API.get_or_make([]() -> std::optional<void**> {
    PyRef multiarray = import(mod_name());
    PyRef capsule = attribute(multiarray.get(), "_ARRAY_API");
    if (Py_TYPE(capsule.get()) != &PyCapsule_Type) capsule_failure("_ARRAY_API is not a capsule");
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) {
      if (PyErr_Occurred()) capsule_failure_from_python();
      capsule_failure("the capsule holds a null pointer");
    }
    (void)capsule.release();  // kept for the life of the process
    return static_cast<void**>(table);
  }));
}

PyRef get_float32_dtype() {
  PyObject* descr = get_numpy_table().descr_from_type(NPY_FLOAT);
  if (descr == nullptr) null_object_failure();
  return PyRef::steal(descr);
}

PyRef get_datetime_ms_dtype() {
  return get_datetime_dtype(NPY_FR_ms);
}

}  // namespace quillrow::numpy_bridge
