"""The readers under comparison.

Each method takes a path and returns the same pair of arrays:
a datetime64[ms] array of timestamps computed from the six time fields and
a C-contiguous float32 matrix of shape (rows, 11).  Methods import their
libraries in `load`, outside the timed call.
"""

from __future__ import annotations

import importlib
import sys
from collections.abc import Callable
from pathlib import Path

from quillrow_xarray.header import header_line_count, take_header

BUILD_DIR = Path(__file__).resolve().parent.parent / "build" / "bench"

TIME_COLUMNS = list(range(6))
VALUE_COLUMNS = list(range(7, 18))


def timestamps_from_columns(np, year, doy, hour, minute, second, ms):
    """Milliseconds since 1970 from integer columns, as datetime64[ms].

    The day count uses truncating division on (year - 1), as the file format
    defines it; for the years in question that equals floor division.
    """
    year = year.astype(np.int64)
    y1 = year - 1
    days = (
        year * 365
        + np.trunc(y1 / 4).astype(np.int64)
        - np.trunc(y1 / 100).astype(np.int64)
        + np.trunc(y1 / 400).astype(np.int64)
        + doy
        - 719528
    )
    ms_total = (
        days * 86_400_000
        + hour.astype(np.int64) * 3_600_000
        + minute.astype(np.int64) * 60_000
        + second.astype(np.int64) * 1000
        + ms.astype(np.int64)
    )
    return ms_total.view("datetime64[ms]")


def load_quillrow() -> Callable:
    import quillrow

    return quillrow.read_sts


def load_naive() -> Callable:
    sys.path.insert(0, str(BUILD_DIR))
    naive_reader = importlib.import_module("naive_reader")
    return naive_reader.read


def load_loadtxt() -> Callable:
    import numpy as np

    cols = TIME_COLUMNS + VALUE_COLUMNS

    def read(path):
        # float32 holds every time field exactly (integers below 2**24); the
        # values go through NumPy's double parse and a cast, which the
        # generated files make exact (see README).
        table = np.loadtxt(path, skiprows=header_line_count(path), usecols=cols, dtype=np.float32, ndmin=2)
        t = table[:, :6].astype(np.int64)
        stamps = timestamps_from_columns(np, *t.T)
        return stamps, np.ascontiguousarray(table[:, 6:])

    return read


def pandas_frame(path):
    """The time and value columns of one file as pandas reads them: whitespace
    separated, the header skipped, int32 time fields and float32 values."""
    import numpy as np
    import pandas as pd

    dtypes = {c: np.int32 for c in TIME_COLUMNS} | {c: np.float32 for c in VALUE_COLUMNS}
    return pd.read_csv(
        path,
        sep=r"\s+",
        engine="c",
        header=None,
        skiprows=header_line_count(path),
        usecols=TIME_COLUMNS + VALUE_COLUMNS,
        dtype=dtypes,
    )


def load_pandas() -> Callable:
    import numpy as np

    def read(path):
        frame = pandas_frame(path)
        stamps = timestamps_from_columns(np, *(frame[c].to_numpy() for c in TIME_COLUMNS))
        values = np.ascontiguousarray(frame[VALUE_COLUMNS].to_numpy(dtype=np.float32))
        return stamps, values

    return read


def load_python() -> Callable:
    from array import array

    import numpy as np

    def read(path):
        stamps = array("q")
        values = array("f")  # float() parses to double, array stores float32
        append_value = values.append
        with open(path, "rb") as f:
            take_header(f)
            for line in f:
                fields = line.split()
                if not fields:
                    continue
                if len(fields) != 18:
                    raise ValueError(f"Invalid file {path}: {len(fields)} fields")
                year, doy, hour, minute, second, ms = map(int, fields[:6])
                y1 = year - 1
                days = year * 365 + int(y1 / 4) - int(y1 / 100) + int(y1 / 400) + doy - 719528
                stamps.append(days * 86_400_000 + hour * 3_600_000 + minute * 60_000 + second * 1000 + ms)
                for token in fields[7:]:
                    append_value(float(token))
        return (
            np.frombuffer(stamps, dtype=np.int64).view("datetime64[ms]"),
            np.frombuffer(values, dtype=np.float32).reshape(-1, 11),
        )

    return read


# Order of the methods within a round; the first is the subject (the g++
# build), the second its release-wheel build, the third the reference the
# goals are measured against.
LOADERS = {
    "quillrow": load_quillrow,
    # The release wheel's build of the same call, run by the interpreter of
    # the venv the wheel is installed in (bench.py --wheel-python).
    "wheel": load_quillrow,
    "naive": load_naive,
    "loadtxt": load_loadtxt,
    "pandas": load_pandas,
    "python": load_python,
}

LABELS = {
    "quillrow": "quillrow.read_sts",
    "wheel": "quillrow, release wheel",
    "naive": "naive C++ (fast_float)",
    "loadtxt": "numpy.loadtxt",
    "pandas": "pandas.read_csv",
    "python": "pure Python loop",
}
