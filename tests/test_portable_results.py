"""The portable row kernel, the only one aarch64 has, returns the same arrays,
bit for bit, as the x86-64 kernels on the same generated files.

tools/test_wheels.sh writes the digests of the arrays an x86-64 wheel returns
(python tests/test_portable_results.py OUT.json) and hands the file to the
aarch64 run as QUILLROW_KERNEL_DIGESTS.  The files are generated from fixed
seeds, so both sides read the same bytes.
"""

import hashlib
import json
import os
import platform
import sys
from pathlib import Path

import pytest

from quillrow import read_sts

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from gen_sts import write_sts

# Fixed decimals and the exponent form, several seeds, with a row count that
# leaves a partial block at the end for the vector kernels.
CASES = [(seed, values) for values in ("fixed", "exp") for seed in (1, 2, 3)]
ROWS = 4099


def digests(directory: Path) -> dict[str, str]:
    result = {}
    for seed, values in CASES:
        path = directory / f"s{seed}-{values}.sts"
        write_sts(str(path), rows=ROWS, seed=seed, values=values)
        timestamps, rows = read_sts(str(path))
        digest = hashlib.sha256()
        for array in (timestamps, rows):
            digest.update(f"{array.dtype.str} {array.shape}".encode())
            digest.update(array.tobytes())
        result[f"{seed}-{values}"] = digest.hexdigest()
    return result


@pytest.mark.skipif(
    not os.environ.get("QUILLROW_KERNEL_DIGESTS"),
    reason="QUILLROW_KERNEL_DIGESTS names no digests from another machine's kernel",
)
def test_arrays_equal_those_of_the_reference_machine(tmp_path):
    reference = json.loads(Path(os.environ["QUILLROW_KERNEL_DIGESTS"]).read_text())
    assert reference["machine"] != platform.machine(), "the reference comes from this same kernel"
    assert digests(tmp_path) == reference["digests"]


if __name__ == "__main__":
    import tempfile

    with tempfile.TemporaryDirectory() as work:
        found = {"machine": platform.machine(), "digests": digests(Path(work))}
    Path(sys.argv[1]).write_text(json.dumps(found, indent=1) + "\n")
