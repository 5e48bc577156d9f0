#!/usr/bin/env python3
"""Reads a sample STS file with quillrow and prints what it read and how fast.

    python tools/demo.py [FILE]

Without FILE, a 200,000-row sample is generated (seeded) into build/sample.sts.
"""

from __future__ import annotations

import os
import sys
import time
from pathlib import Path

import numpy as np

import quillrow

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from gen_sts import write_sts  # noqa: E402


def main() -> int:
    if len(sys.argv) > 1:
        path = sys.argv[1]
    else:
        path = str(HERE.parent / "build" / "sample.sts")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if not os.path.exists(path):
            write_sts(path, rows=200_000, seed=1)
    size = os.path.getsize(path)

    quillrow.read_sts(path)  # first call: imports NumPy, warms the page cache
    timings = []
    for _ in range(5):
        start = time.perf_counter()
        timestamps, values = quillrow.read_sts(path)
        timings.append(time.perf_counter() - start)
    best = min(timings)

    print(f"file        {path} ({size / 1e6:.1f} MB)")
    print(f"rows        {len(timestamps):,}")
    print(f"time span   {timestamps[0]} .. {timestamps[-1]}")
    print(
        f"arrays      timestamps {timestamps.dtype} {timestamps.shape}, values {values.dtype} {values.shape}"
    )
    np.set_printoptions(precision=3, suppress=True, linewidth=120)
    print("first row  ", values[0])
    print("last row   ", values[-1])
    print(f"NaN values  {int(np.isnan(values).sum())}")
    print(f"read rate   {size / best / 1e6:.0f} MB/s ({best * 1e3:.1f} ms per read, best of {len(timings)})")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
