// The module definition of quillrow: multi-phase initialisation, whose exec
// step publishes read_sts and lists it in __all__.
#include <Python.h>

#include "module/call_error.hpp"
#include "module/read_sts.hpp"
#include "python/once.hpp"
#include "python/pending_error.hpp"

namespace quillrow::module {

using python::PendingError;
using python::PyRef;

namespace {

// METH_FASTCALL | METH_KEYWORDS.  METH_STATIC is left out on purpose: with
// it CPython would drop the module as the function's __self__.
PyMethodDef READ_STS_METHOD = {
    "read_sts",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_sts_fastcall)),
    METH_FASTCALL | METH_KEYWORDS,
    "read_sts(path)\n--\n\n",
};

python::Once<PyObject*> NAME_ATTR;
python::Once<PyObject*> ALL_ATTR;

PyObject* interned(python::Once<PyObject*>& cell, const char* text) {
  const auto* made = cell.get_or_make([text]() -> std::optional<PyObject*> {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) return std::nullopt;
    return name;
  });
  return made == nullptr ? nullptr : *made;
}

// "'T' object is not an instance of 'E'", or "'None' is not ..." for None.
CallError type_mismatch(PyObject* object, PyTypeObject* expected) {
  Text expected_name = python::qualname_of(expected);
  if (object == Py_None) return ArgumentError{concat("'None' is not an instance of '", expected_name, "'")};
  return ArgumentError{concat("'", python::qualname_of(Py_TYPE(object)), "' object is not an instance of '",
                              expected_name, "'")};
}

std::optional<CallError> exec_steps(PyObject* module) {
  if (module == nullptr) return PendingError::fetch();
  // The class is made here so that no later call can find it missing.
  if (python::panic_exception_type() == nullptr) return PendingError::fetch();
  if (!PyModule_Check(module)) return type_mismatch(module, &PyModule_Type);

  PyRef function;
  {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return PendingError::fetch();
    function = PyRef::steal(PyCFunction_NewEx(&READ_STS_METHOD, module, module_name.get()));
    if (!function) return PendingError::fetch();
  }

  PyObject* name_attr = interned(NAME_ATTR, "__name__");
  PyObject* all_attr = interned(ALL_ATTR, "__all__");
  if (name_attr == nullptr || all_attr == nullptr) return PendingError::fetch();

  PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), name_attr));
  if (!name) return PendingError::fetch();
  if (!PyUnicode_Check(name.get())) return type_mismatch(name.get(), &PyUnicode_Type);

  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_attr));
  if (all) {
    if (!PyList_Check(all.get())) return type_mismatch(all.get(), &PyList_Type);
  } else {
    PendingError error = PendingError::fetch();
    if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) return error;
    all = PyRef::steal(PyList_New(0));
    if (!all) return PendingError::fetch();
    if (PyObject_SetAttr(module, all_attr, all.get()) != 0) return PendingError::fetch();
  }

  if (PyList_Append(all.get(), name.get()) != 0) {
    const PendingError error = PendingError::fetch();
    internal_failure(concat("could not append __name__ to __all__: ", error.debug()));
  }

  if (PyObject_SetAttr(module, name.get(), function.get()) != 0) return PendingError::fetch();
  return std::nullopt;
}

int module_exec(PyObject* module) {
  PyObject* result = guarded([module]() -> PyObject* {
    if (auto error = exec_steps(module)) {
      raise_call_error(std::move(*error));
      return nullptr;
    }
    return Py_None;  // borrowed marker of success, never returned to Python
  });
  return result == nullptr ? -1 : 0;
}

// A free-threaded interpreter would enable the GIL again on import unless the
// module says it does without: every process-wide value is made once under
// its own lock and read through atomics, and a call shares nothing else.
PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
    {0, nullptr},
#endif
    {0, nullptr},
    {0, nullptr},
};

PyModuleDef DEFINITION = {
    PyModuleDef_HEAD_INIT, "quillrow", "", 0, nullptr, SLOTS, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace quillrow::module

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quillrow() {
  return PyModuleDef_Init(&quillrow::module::DEFINITION);
}
