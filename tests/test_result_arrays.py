"""The two result arrays: element types, layout, ownership and lifetime."""

import gc
import subprocess
import sys
import threading

import numpy as np
import pytest

from quillrow import read_sts

from conftest import ROW, ROW_MS

VALUES_1_TO_11 = [float(i) for i in range(1, 12)]


@pytest.fixture
def three_rows(sts_file):
    return sts_file(ROW, ROW, ROW)


def test_dtypes_shapes_and_strides(three_rows):
    timestamps, values = read_sts(three_rows)
    assert timestamps.dtype == np.dtype("datetime64[ms]") and str(timestamps.dtype) == "datetime64[ms]"
    assert timestamps.dtype.itemsize == 8
    assert values.dtype == np.float32
    assert timestamps.shape == (3,) and timestamps.strides == (8,)
    assert values.shape == (3, 11) and values.strides == (44, 4)
    for array in (timestamps, values):
        assert type(array) is np.ndarray
        assert array.flags.c_contiguous and array.flags.aligned and array.flags.writeable
        assert not array.flags.owndata
    assert timestamps.flags.f_contiguous
    assert not values.flags.f_contiguous
    assert timestamps.view("i8").tolist() == [ROW_MS] * 3
    assert values.tolist() == [VALUES_1_TO_11] * 3


def test_single_row_matrix_is_both_contiguities(sts_file):
    _, values = read_sts(sts_file(ROW))
    assert values.shape == (1, 11)
    assert values.flags.c_contiguous and values.flags.f_contiguous


def test_each_array_has_its_own_slice_container(three_rows):
    timestamps, values = read_sts(three_rows)
    owner_type = type(timestamps.base)
    assert owner_type is type(values.base)
    assert timestamps.base is not values.base
    assert owner_type.__name__ == owner_type.__qualname__ == "PySliceContainer"
    assert owner_type.__module__ == "builtins"
    assert owner_type.__doc__
    with pytest.raises(TypeError) as info:
        owner_type()
    assert str(info.value) == "cannot create 'builtins.PySliceContainer' instances"
    with pytest.raises(TypeError):
        type("Sub", (owner_type,), {})  # not subclassable
    assert not hasattr(timestamps.base, "__dict__")


def test_datetime_descriptor_is_shared_across_calls(three_rows):
    first, _ = read_sts(three_rows)
    second, _ = read_sts(three_rows)
    assert first.dtype is second.dtype


def test_writes_reach_views_and_calls_share_nothing(three_rows):
    timestamps, values = read_sts(three_rows)
    row_view = values[1]
    column_view = values[:, 4]
    values[1, 4] = -7.5
    assert row_view[4] == -7.5 and column_view[1] == -7.5
    assert values[0, 4] == 5.0 and values[2, 4] == 5.0
    again_t, again_v = read_sts(three_rows)
    assert not np.shares_memory(values, again_v)
    assert not np.shares_memory(timestamps, again_t)
    assert again_v[1, 4] == 5.0


def test_view_keeps_buffer_alive_after_parent_is_gone(three_rows):
    timestamps, values = read_sts(three_rows)
    row = values[2]
    owner = values.base
    refs_before = sys.getrefcount(owner)
    del values, timestamps
    gc.collect()
    # the view holds its parent, and so the owner and its buffer
    assert sys.getrefcount(owner) == refs_before
    del owner
    garbage = [np.full(11, 99.0, dtype=np.float32) for _ in range(1000)]
    assert row.tolist() == VALUES_1_TO_11
    del garbage


def test_owner_made_from_python_holds_nothing_and_frees_cleanly(three_rows):
    # In a child: replacing __new__ changes the process-wide type.
    script = """
import gc, sys
from quillrow import read_sts
timestamps, _ = read_sts(sys.argv[1])
owner_type = type(timestamps.base)
try:
    owner_type()
except TypeError as error:
    print(error)
owner_type.__new__ = lambda cls: object.__new__(cls)
owner = owner_type()
del owner  # no buffer to release: the object is just freed
gc.collect()
print(read_sts(sys.argv[1])[0].tolist() == timestamps.tolist())
"""
    out = subprocess.run(
        [sys.executable, "-c", script, three_rows], capture_output=True, text=True, timeout=60
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["cannot create 'builtins.PySliceContainer' instances", "True"]


def test_owner_type_and_dtype_references_do_not_leak(three_rows):
    timestamps, values = read_sts(three_rows)
    owner_type, dtype = type(timestamps.base), timestamps.dtype
    del timestamps, values
    gc.collect()
    before = sys.getrefcount(owner_type), sys.getrefcount(dtype)
    for _ in range(1000):
        read_sts(three_rows)
    gc.collect()
    assert (sys.getrefcount(owner_type), sys.getrefcount(dtype)) == before


def test_threads_get_correct_arrays(sts_file):
    path = sts_file(*[ROW] * 500)
    results, errors = [], []

    def work():
        try:
            for _ in range(20):
                results.append(read_sts(path))
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=work) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert len(results) == 40
    for timestamps, values in results:
        assert timestamps.view("i8").tolist() == [ROW_MS] * 500
        assert values.shape == (500, 11) and (values[:, 10] == 11.0).all()


NO_NUMPY = r"""
import sys
sys.modules["numpy"] = None          # makes "import numpy" fail
import quillrow
bad, good = sys.argv[1], sys.argv[2]
try:
    quillrow.read_sts(bad)
except ValueError as e:
    print("ValueError", e)
try:
    quillrow.read_sts(good)
except BaseException as e:
    print(type(e).__module__, type(e).__name__, isinstance(e, Exception), str(e).split(":")[0])
del sys.modules["numpy"]             # NumPy becomes importable
t, v = quillrow.read_sts(good)
print("after", t.dtype, v.shape)
"""


def test_numpy_unimportable_then_importable(sts_file, write_file):
    bad = write_file(b"")
    good = sts_file(ROW, ROW)
    out = subprocess.run([sys.executable, "-c", NO_NUMPY, bad, good], capture_output=True, text=True)
    lines = out.stdout.splitlines()
    assert lines == [
        f"ValueError Invalid file {bad}: header END_OBJECT not found",
        "pyo3_runtime PanicException False Failed to access NumPy array API capsule",
        "after datetime64[ms] (2, 11)",
    ], out.stderr
    assert "internal failure" in out.stderr
