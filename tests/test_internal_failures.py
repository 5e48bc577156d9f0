"""Internal failures: PanicException, its diagnostics, and recovery."""

import os
import subprocess
import sys

from conftest import ROW, has_kernel_switch

REENTRANT = r"""
import sys
import quillrow

good = sys.argv[1]

class CallsBackOnNumpyImport:
    # The first import of numpy runs read_sts again from inside the call that
    # is making NumPy's one-time values.
    armed = True
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" and self.armed:
            self.armed = False
            quillrow.read_sts(good)
        return None

sys.meta_path.insert(0, CallsBackOnNumpyImport())
try:
    quillrow.read_sts(good)
except Exception:
    print("caught as Exception")
except BaseException as e:
    cls = type(e)
    print(cls.__module__, cls.__qualname__, cls.__bases__ == (BaseException,))
    print("doc", "BaseException" in cls.__doc__ and "SystemExit" in cls.__doc__)
    print("text", e.args)
t, v = quillrow.read_sts(good)
print("then", v.shape)
"""


def test_reentrant_one_time_creation_fails_instead_of_hanging(sts_file):
    good = sts_file(ROW)
    out = subprocess.run([sys.executable, "-c", REENTRANT, good], capture_output=True, text=True, timeout=60)
    assert out.stdout.splitlines() == [
        "pyo3_runtime PanicException True",
        "doc True",
        "text ('a one-time initialisation was re-entered by the thread running it',)",
        "then (1, 11)",
    ], out.stderr
    # the inner failure is reported with its place in the source, and the
    # outer call tells that it resumes a panic that came back through Python
    assert "internal failure at " in out.stderr and ".cpp:" in out.stderr
    assert "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---" in out.stderr
    assert "Python stack trace below:" in out.stderr


SWITCHED = r"""
import sys
import quillrow

for _ in range(2):
    try:
        t, v = quillrow.read_sts(sys.argv[1])
        print("read", v.shape)
    except BaseException as e:
        print(type(e).__qualname__, e.args)
"""


def test_kernel_switch_fails_on_a_kernel_it_cannot_run_and_release_builds_read_no_environment(sts_file):
    # With the kernel switch, a name no kernel has fails every call, naming
    # the kernels this machine can run; each of those then reads.  A release
    # build ignores the variable.
    good = sts_file(ROW)

    def read_twice(kernel: str) -> subprocess.CompletedProcess[str]:
        env = dict(os.environ, QUILLROW_ROW_KERNEL=kernel)
        return subprocess.run(
            [sys.executable, "-c", SWITCHED, good], capture_output=True, text=True, env=env, timeout=60
        )

    out = read_twice("nonesuch")
    if not has_kernel_switch():
        assert out.stdout.splitlines() == ["read (1, 11)"] * 2, out.stderr
        return
    lines = out.stdout.splitlines()
    prefix = "PanicException ('QUILLROW_ROW_KERNEL=nonesuch: no row kernel has that name; it can run "
    assert len(lines) == 2 and lines[0] == lines[1] and lines[0].startswith(prefix), out.stdout + out.stderr
    runnable = lines[0][len(prefix) : -len("',)")].split(", ")
    assert runnable and all(runnable), lines[0]
    for name in runnable:
        out = read_twice(name)
        assert out.stdout.splitlines() == ["read (1, 11)"] * 2, name + out.stderr
