#include "numpy_bridge/slice_container.hpp"

#include <cstdint>

#include "python/once.hpp"
#include "python/pending_error.hpp"
#include "support/internal_failure.hpp"

namespace quillrow::numpy_bridge {

using python::PyRef;

namespace {

struct SliceContainer {
  PyObject_HEAD void (*release)(void* data, std::size_t length, std::size_t capacity) noexcept;
  void* data;
  std::uint64_t length;
  std::uint64_t capacity;
};

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  PyRef qualname = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
  if (!module || !qualname) return nullptr;
  PyErr_Format(PyExc_TypeError, "cannot create '%U.%U' instances", module.get(), qualname.get());
  return nullptr;
}

void dealloc(PyObject* self) {
  auto* container = reinterpret_cast<SliceContainer*>(self);
  // An instance made from Python (by replacing __new__) holds no buffer:
  // its fields are still the zeroes of a fresh allocation.
  if (container->release != nullptr) {
    container->release(container->data, static_cast<std::size_t>(container->length),
                       static_cast<std::size_t>(container->capacity));
  }
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  // Instances of a heap type hold a reference to it.
  Py_DECREF(type);
}

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("A utility type that safely stores a buffer on the Python heap.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

PyType_Spec SPEC = {
    "builtins.PySliceContainer", static_cast<int>(sizeof(SliceContainer)), 0, Py_TPFLAGS_DEFAULT, SLOTS,
};

python::Once<PyTypeObject*> TYPE;

PyTypeObject* slice_container_type() {
  return *TYPE.get_or_make([]() -> std::optional<PyTypeObject*> {
    PyObject* type = PyType_FromSpec(&SPEC);
    if (type == nullptr) {
      PyErr_WriteUnraisable(nullptr);
      internal_failure("failed to create type object for `PySliceContainer`");
    }
    return reinterpret_cast<PyTypeObject*>(type);
  });
}

// Frees a buffer that has not reached its owner yet.
class PendingBuffer {
 public:
  explicit PendingBuffer(RawBuffer buffer) noexcept : buffer_(buffer) {}
  PendingBuffer(const PendingBuffer&) = delete;
  PendingBuffer& operator=(const PendingBuffer&) = delete;
  ~PendingBuffer() { free_raw_buffer(buffer_.data, buffer_.length, buffer_.capacity); }
  RawBuffer release() noexcept { return std::exchange(buffer_, RawBuffer{}); }

 private:
  RawBuffer buffer_;
};

}  // namespace

PyRef make_slice_container(RawBuffer buffer) {
  PendingBuffer pending(buffer);
  PyTypeObject* type = slice_container_type();
  PyRef empty = PyRef::steal(PyTuple_New(0));
  PyRef owner = empty ? PyRef::steal(PyBaseObject_Type.tp_new(type, empty.get(), nullptr)) : PyRef();
  if (!owner) {
    const python::PendingError error = python::PendingError::fetch();
    internal_failure(concat("Failed to create slice container: ", error.describe()));
  }
  auto* container = reinterpret_cast<SliceContainer*>(owner.get());
  const RawBuffer raw = pending.release();
  container->release = free_raw_buffer;
  container->data = raw.data;
  container->length = raw.length;
  container->capacity = raw.capacity;
  return owner;
}

}  // namespace quillrow::numpy_bridge
