"""What calls leave behind: descriptors, mappings, memory and references after
many calls, memory that cannot be had, and the one-time objects made by
several threads at once."""

import gc
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from quillrow import read_sts

from conftest import HEADER, ROW, ROW_MS, resource_counts, under_asan

# Under AddressSanitizer freed memory waits in a quarantine and the shadow
# memory reserves terabytes of address space: resident-memory bounds and
# address-space limits mean nothing there (the leak checker covers them).
UNDER_ASAN = under_asan()

PAGE = os.sysconf("SC_PAGESIZE")


def address_space_limit_holds() -> bool:
    """Whether RLIMIT_AS bounds a process's mappings here.  Under qemu-user
    emulation (the aarch64 wheels' tests) setrlimit succeeds but the limit
    is never applied: the emulator keeps the whole address space for itself."""
    probe = (
        "import mmap, resource\n"
        "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
        "mmap.mmap(-1, 2 << 30)\n"
    )
    return subprocess.run([sys.executable, "-c", probe], capture_output=True).returncode != 0


# Checked only where the tests that need it may run.
LIMIT_IGNORED = not UNDER_ASAN and not address_space_limit_holds()
NO_LIMIT = "RLIMIT_AS is accepted but not applied here (qemu-user emulation ignores it)"


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


# Prepended to every subprocess script.
COUNTS = """
import os
def counts():
    # Descriptors and mappings of files, as resource_counts() counts them.
    with open("/proc/self/maps") as maps:
        entries = [line.split() for line in maps]
    mapped = sum(1 for e in entries if e[5:6] and e[5].startswith("/"))
    return len(os.listdir("/proc/self/fd")), mapped
"""


def run_python(
    code: str, *args: str, timeout: int = 120, env: dict[str, str] | None = None
) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter that imports quillrow from where this one does."""
    import quillrow

    here = os.path.dirname(quillrow.__file__)
    base = os.environ if env is None else env
    env = {**base, "PYTHONPATH": os.pathsep.join(filter(None, [here, base.get("PYTHONPATH")]))}
    out = subprocess.run(
        [sys.executable, "-c", COUNTS + textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
    assert out.returncode == 0, f"exit {out.returncode}\nstdout:\n{out.stdout}\nstderr:\n{out.stderr[-4000:]}"
    return out


def row_with(field_index: int, text: bytes) -> bytes:
    fields = ROW.split(b" ")
    fields[field_index] = text
    return b" ".join(fields)


@pytest.fixture
def failing_calls(tmp_path, write_file, sts_file):
    """(argument, expected exception) for every way a call can fail."""
    big_body = b"".join(ROW + b"\n" for _ in range(5000))  # ~260 kB: buffers of ~140 kB are reserved
    directory = tmp_path / "a directory"
    directory.mkdir()
    calls = [
        (str(tmp_path / "missing.sts"), FileNotFoundError),
        (str(directory), OSError),  # opens, then cannot be mapped
        (str(tmp_path / "nul\0.sts"), OSError),
        (str(tmp_path / ("long" * 120 + "\0.sts")), OSError),  # beyond the stack copy of the name
        (write_file(b""), ValueError),
        (write_file(HEADER.replace(b"END_OBJECT = FILE\n", b"")), ValueError),  # header never closed
        (sts_file(), ValueError),  # no data rows
        (
            write_file(HEADER + big_body + row_with(17, b"1.5.5") + b"\n"),
            ValueError,
        ),  # bad data field, last row
        (sts_file(ROW + b" 12"), ValueError),  # too many fields
        (sts_file(b" ".join(ROW.split(b" ")[:6])), ValueError),  # missing field 7
        (sts_file(b" ".join(ROW.split(b" ")[:17])), ValueError),  # missing data field
        (42, TypeError),
        ("\udc80.sts", UnicodeEncodeError),
    ]
    names = ["year", "doy", "hour", "minute", "second", "millisecond"]
    for i, _ in enumerate(names):
        missing = b" ".join(ROW.split(b" ")[:i]) or b" \t "
        calls.append((sts_file(ROW, missing), ValueError))  # missing <name>
        calls.append((sts_file(ROW, row_with(i, b"2147483648")), ValueError))  # bad <name>
    return calls


def call_failing(calls, rounds):
    for _ in range(rounds):
        for argument, expected in calls:
            with pytest.raises(expected):
                read_sts(argument)


def test_failing_calls_release_everything(failing_calls):
    call_failing(failing_calls, 2)  # one-time objects and allocator caches settle
    gc.collect()
    counts, resident = resource_counts(), resident_bytes()
    rounds = 10_000 // len(failing_calls) + 1
    call_failing(failing_calls, rounds)
    gc.collect()
    assert resource_counts() == counts
    if not UNDER_ASAN:
        # A leaked reservation of the big file alone would be ~140 kB a call.
        assert resident_bytes() - resident < 16 << 20


def test_successful_calls_release_buffers_and_references(sts_file):
    path = sts_file(*[ROW] * 2000)  # ~100 kB of buffers a call
    timestamps, values = read_sts(path)
    owner_type, dtype, value_dtype = type(timestamps.base), timestamps.dtype, values.dtype
    assert type(values.base) is owner_type
    del timestamps, values
    for _ in range(50):
        read_sts(path)
    gc.collect()
    refs = sys.getrefcount(owner_type), sys.getrefcount(dtype), sys.getrefcount(value_dtype)
    counts, resident = resource_counts(), resident_bytes()
    for _ in range(1000):
        result = read_sts(path)
        assert result[0].dtype is dtype
        del result
    gc.collect()
    assert (sys.getrefcount(owner_type), sys.getrefcount(dtype), sys.getrefcount(value_dtype)) == refs
    assert resource_counts() == counts
    if not UNDER_ASAN:
        # A leaked buffer pair would add ~100 MB over the thousand calls.
        assert resident_bytes() - resident < 8 << 20


def test_numpy_unimportable(sts_file):
    path = sts_file(ROW, ROW)
    out = run_python(
        """
        import sys
        sys.modules["numpy"] = None  # `import numpy` now raises ImportError
        from quillrow import read_sts

        def fail():
            try:
                read_sts(sys.argv[1])
            except BaseException as error:  # PanicException derives from BaseException only
                assert type(error).__name__ == "PanicException", repr(error)
                assert str(error).startswith("Failed to access NumPy array API capsule"), str(error)
            else:
                raise AssertionError("read_sts succeeded without NumPy")

        fail()
        before = counts()
        for _ in range(1000):
            fail()
        assert counts() == before, (before, counts())

        del sys.modules["numpy"]  # importable again: the next call makes the table
        timestamps, values = read_sts(sys.argv[1])
        assert timestamps.view("i8").tolist() == [%d, %d]
        assert values.shape == (2, 11)
        print("ok")
    """
        % (ROW_MS, ROW_MS),
        path,
    )
    assert out.stdout.split() == ["ok"]
    assert "internal failure" in out.stderr  # the diagnostic of each failure


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than any limit")
@pytest.mark.skipif(LIMIT_IGNORED, reason=NO_LIMIT)
def test_buffers_that_cannot_be_reserved_raise_memory_error(tmp_path, sts_file):
    # The file maps (address space for its size is left), but the buffers
    # reserved from its size (54% of it) do not fit.  Its first data row is
    # faulty, so a reader that walked the file before reserving would raise
    # ValueError instead, and quickly.
    big = tmp_path / "big.sts"
    big.write_bytes(HEADER + b"not a row\n")
    os.truncate(big, 3 << 30)  # sparse: no disk is used for the zeros
    small = sts_file(ROW)
    out = run_python(
        """
        import resource, sys
        from quillrow import read_sts
        big, small = sys.argv[1], sys.argv[2]
        read_sts(small)  # NumPy and the one-time objects are in place

        def vm_size():
            with open("/proc/self/status") as status:
                return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

        size = os.path.getsize(big)
        limit = vm_size() + size + size // 4
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        fds, vm = counts()[0], vm_size()
        for _ in range(3):
            try:
                read_sts(big)
            except MemoryError as error:
                assert error.args == (), error.args  # not the mapping's ENOMEM, which has a text
            else:
                raise AssertionError("the buffers were reserved")
        # The allocator's own caches may add or drop a mapping, so the file's
        # mapping is looked for by name; a timestamp buffer left behind would
        # hold 256 MiB of address space.
        assert counts()[0] == fds
        with open("/proc/self/maps") as maps:
            assert not [line for line in maps if line.rstrip().endswith(big)]
        assert vm_size() - vm < 64 << 20, (vm, vm_size())
        timestamps, values = read_sts(small)
        assert timestamps.view("i8").tolist() == [%d]
        print("ok")
    """
        % ROW_MS,
        str(big),
        small,
    )
    assert out.stdout.split() == ["ok"]


def outcome_of(call):
    try:
        result = call()
    except MemoryError:
        raise
    except Exception as error:
        return type(error), str(error)
    return "ok", [a.tolist() for a in result]


@pytest.mark.skipif(not UNDER_ASAN, reason="the allocation hook exists only in the sanitizer build")
def test_every_allocation_that_fails_raises_memory_error(tmp_path, sts_file, monkeypatch):
    # The sanitizer build fails the N-th allocation of the module after
    # QUILLROW_FAIL_ALLOCATION changes to "N:tag".  Each call is tried with
    # N = 1, 2, ... until it gets through: every allocation site it reaches
    # fails once, and must give MemoryError and release everything.
    good, bad = sts_file(ROW, ROW), sts_file(ROW, b"2024 x")
    empty = sts_file(header=b"")
    long_path = str(tmp_path / ("d" * 200) / ("f" * 200))
    calls = {
        "rows": lambda: read_sts(good),
        "bad row": lambda: read_sts(bad),
        "no header end": lambda: read_sts(empty),
        "missing file": lambda: read_sts(str(tmp_path / "missing.sts")),
        "directory": lambda: read_sts(str(tmp_path)),
        "long path": lambda: read_sts(long_path),
        "unknown keyword": lambda: read_sts(path=good, other=1),
        "not a str": lambda: read_sts(3),
    }
    read_sts(good)  # NumPy and the one-time objects are in place
    for name, call in calls.items():
        expected = outcome_of(call)
        before = resource_counts()
        for n in range(1, 100):
            monkeypatch.setenv("QUILLROW_FAIL_ALLOCATION", f"{n}:{name}")
            try:
                got = outcome_of(call)
            except MemoryError:
                assert resource_counts() == before, (name, n)
                continue
            finally:
                monkeypatch.delenv("QUILLROW_FAIL_ALLOCATION")
            assert got == expected, (name, n)
            break
        assert n > 1, f"{name}: no allocation was failed"


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than any limit")
@pytest.mark.skipif(LIMIT_IGNORED, reason=NO_LIMIT)
def test_path_text_that_cannot_be_copied_raises_memory_error():
    # The limit is set before the module loads.  A build whose C++ runtime
    # allocates while loading (libstdc++'s emergency exception pool, linked in
    # statically and served by the module's mimalloc) makes mimalloc reserve
    # its first 1 GiB arena at import; measured after that, the reservation
    # would count as room, and both copies of the path would fit in it.
    out = run_python(
        """
        import resource
        path = "p" * (400 << 20)
        def vm_size():
            with open("/proc/self/status") as status:
                return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        limit = vm_size() + (200 << 20)  # room to work, not for a copy of the path
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        from quillrow import read_sts
        for _ in range(3):
            try:
                read_sts(path)
            except MemoryError:
                print("MemoryError")
        """
    )
    assert out.stdout.split() == ["MemoryError"] * 3


THREADS = (
    """
    import sys, threading
    sys.setswitchinterval(1e-6)
    from quillrow import read_sts
    path, rows = sys.argv[1], int(sys.argv[2])
    assert "numpy" not in sys.modules  # the first call imports it
    count = 8
    barrier = threading.Barrier(count)
    results, errors = [None] * count, []

    def work(i):
        barrier.wait()
        try:
            results[i] = read_sts(path)
        except BaseException as error:
            errors.append(repr(error))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors

    import numpy as np
    first_t, first_v = results[0]
    for timestamps, values in results:
        assert timestamps.dtype is first_t.dtype
        assert timestamps.dtype == np.dtype("datetime64[ms]")
        assert type(timestamps.base) is type(first_t.base) is type(values.base)
        assert timestamps.view("i8").tolist() == [%d] * rows
        assert values.shape == (rows, 11) and values.dtype == np.float32
        assert (values == np.arange(1, 12, dtype=np.float32)).all()
    assert len({id(t.base) for t, _ in results} | {id(v.base) for _, v in results}) == 2 * count
    print("ok")
"""
    % ROW_MS
)


@pytest.mark.parametrize("attempt", range(4))
def test_threads_on_first_use_share_the_one_time_objects(sts_file, attempt):
    rows = 50 + 300 * attempt
    out = run_python(THREADS, sts_file(*[ROW] * rows), str(rows))
    assert out.stdout.split() == ["ok"]


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# Threads without the GIL, in a fresh process: all race on the first call
# (NumPy's import, the one-time objects, the descriptor cache), then each
# makes hundreds of calls on good and failing files in a shuffled order.
# Every result must be bit-equal to the main thread's own read afterwards;
# descriptors and mappings must not grow, nor resident memory once every
# thread's heap has grown to its working size in the first half.
NO_GIL_STRESS = """
import hashlib, random, sys, threading
from quillrow import read_sts
assert not sys._is_gil_enabled(), "importing quillrow enabled the GIL"
paths, count, calls = sys.argv[3:], int(sys.argv[1]), int(sys.argv[2])

def outcome(path):
    try:
        timestamps, values = read_sts(path)
    except ValueError as error:
        return "ValueError: " + str(error)
    return hashlib.sha256(timestamps.tobytes() + values.tobytes() + str(values.shape).encode()).hexdigest()

def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGESIZE")

first_call = threading.Barrier(count)
halfway = threading.Barrier(count + 1)
seen, errors = [[] for _ in range(count)], []

def work(i):
    order = random.Random(i).choices(range(len(paths)), k=calls)
    try:
        first_call.wait()
        for n, k in enumerate(order):
            if n == calls // 2:
                halfway.wait()  # the main thread notes the resources
                halfway.wait()
            seen[i].append((k, outcome(paths[k])))
    except BaseException as error:
        errors.append(repr(error))
        halfway.abort()

threads = [threading.Thread(target=work, args=(i,)) for i in range(count)]
for thread in threads:
    thread.start()
halfway.wait()
before = counts(), rss()
halfway.wait()
for thread in threads:
    thread.join()
assert not errors, errors
after = counts(), rss()
assert after[0] == before[0], (before, after)
assert after[1] - before[1] < (16 << 20), (before, after)
expected = [outcome(path) for path in paths]
wrong = [(k, got) for results in seen for k, got in results if got != expected[k]]
assert not wrong, wrong[:3]
assert sum(map(len, seen)) == count * calls
assert not sys._is_gil_enabled()
print("ok")
"""


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
@pytest.mark.parametrize("threads", [4, 8, 16])
def test_threads_without_the_gil_read_side_by_side(sts_file, threads):
    good = [sts_file(*[row_with(7 + i % 11, b"%d.25" % i)] * (40 + 97 * i)) for i in range(6)]
    failing = [
        sts_file(ROW, row_with(1, b"x")),
        sts_file(*[ROW] * 300, ROW + b" 12"),
        sts_file(),
    ]
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}  # the import alone decides
    out = run_python(
        NO_GIL_STRESS, str(threads), str(12000 // threads), *good, *failing, env=env, timeout=300
    )
    assert out.stdout.split() == ["ok"]
