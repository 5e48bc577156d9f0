"""Internal failures: PanicException, its diagnostics, and recovery."""

import subprocess
import sys

from conftest import ROW

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
