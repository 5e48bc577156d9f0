"""The module object, the function it publishes, and its shared object."""

import _imp
import ctypes
import importlib.util
import inspect
import shutil
import subprocess

import pytest

import quillrow


def test_module_attributes():
    assert quillrow.__all__ == ["read_sts"]
    assert quillrow.__doc__ == ""
    public = {name for name in vars(quillrow) if not name.startswith("__")}
    assert public == {"read_sts"}


def test_function_identity_and_signature():
    f = quillrow.read_sts
    assert f.__name__ == "read_sts"
    assert f.__qualname__ == "read_sts"
    assert f.__self__ is quillrow
    assert f.__module__ == "quillrow"
    assert f.__doc__ is None
    assert f.__text_signature__ == "(path)"
    assert list(inspect.signature(f).parameters) == ["path"]


def test_star_import_binds_only_read_sts():
    namespace: dict = {}
    exec("from quillrow import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == ["read_sts"]


def fresh_module(all_value=None):
    """A new module object made from the extension without running its exec step."""
    spec = importlib.util.find_spec("quillrow")
    module = _imp.create_dynamic(spec)
    if all_value is not None:
        module.__all__ = all_value
    return module


@pytest.mark.parametrize(
    "initial, expected",
    [
        (None, ["read_sts"]),
        (["alpha", "beta"], ["alpha", "beta", "read_sts"]),
    ],
)
def test_exec_step_extends_all(initial, expected):
    module = fresh_module(initial)
    _imp.exec_dynamic(module)
    assert module.__all__ == expected
    assert module.read_sts.__self__ is module


def exec_again(module):
    """Runs the module's exec step directly, past importlib's once-only guard."""
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    api.PyModule_ExecDef.restype = ctypes.c_int
    return api.PyModule_ExecDef(module, api.PyModule_GetDef(module))


def test_exec_step_twice_appends_twice():
    module = fresh_module()
    _imp.exec_dynamic(module)
    first = module.read_sts
    exec_again(module)
    assert module.__all__ == ["read_sts", "read_sts"]
    assert module.read_sts is not first


@pytest.mark.parametrize(
    "bad_all, type_name",
    [
        (("x",), "tuple"),
        ("read_sts", "str"),
        (None.__class__, "type"),
        (type("S", (), {"__qualname__": "A\udcffB"})(), "A\udcffB"),  # a name with no UTF-8 form
    ],
)
def test_exec_step_refuses_non_list_all(bad_all, type_name):
    module = fresh_module(bad_all)
    with pytest.raises(TypeError) as info:
        _imp.exec_dynamic(module)
    assert str(info.value) == f"'{type_name}' object is not an instance of 'list'"


def test_exec_step_passes_other_lookup_errors_through():
    class Exploding(type(quillrow)):
        def __getattribute__(self, name):
            if name == "__all__":
                raise KeyError("boom")
            return super().__getattribute__(name)

    module = fresh_module()
    module.__class__ = Exploding
    with pytest.raises(KeyError):
        _imp.exec_dynamic(module)


def test_function_module_follows_module_name():
    spec = importlib.util.find_spec("quillrow")
    spec.name = "pkg.sub.quillrow"
    module = _imp.create_dynamic(spec)
    _imp.exec_dynamic(module)
    assert module.__name__ == "pkg.sub.quillrow"
    assert module.read_sts.__module__ == "pkg.sub.quillrow"


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils nm not installed")
def test_shared_object_exports_only_init_function():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", quillrow.__file__], check=True, capture_output=True, text=True
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_quillrow"]


def test_import_does_not_import_numpy():
    code = "import sys, quillrow; print('numpy' in sys.modules)"
    out = subprocess.run(
        [__import__("sys").executable, "-c", code], check=True, capture_output=True, text=True
    )
    assert out.stdout.strip() == "False"
