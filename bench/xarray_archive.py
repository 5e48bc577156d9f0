"""An archive of daily files read whole: xarray over Dask against pandas.read_csv.

    .venv/bin/python bench/xarray_archive.py [--days 30] [--rows 86400] [--rounds 3]

Writes --days generated files of --rows rows each (sample_2021_001.sts, ...)
into bench/out/archive/ unless they are there already, then times, each in
a fresh process and the methods interleaved in every round:

- cluster: xr.open_mfdataset(..., engine="quillrow", parallel=True).load()
  on a dask.distributed LocalCluster of 2 worker processes with 1 thread
  each, started (and its workers up) before the clock starts;
- threads, synchronous: the same call in one process, without a cluster,
  under Dask's threaded and synchronous schedulers;
- pandas: pandas.read_csv of each file in a loop (C parser, whitespace
  separated, header lines skipped, time columns as int32, values as
  float32), a DatetimeIndex from the time columns, then pd.concat;
- read_sts: quillrow.read_sts in a loop and np.concatenate, the floor.

Each process first reads the archive's first file by its method, untimed,
so that imports and first-call set-up (xarray's engine lookup, the workers'
imports) are left out.  Every method's timestamps and values must hash to the same digest as
read_sts's before any time is printed.  Prints the median wall time of each
method and its ratio to pandas within a round.  Needs xarray, dask.distributed and
pandas (pip install "quillrow[xarray,pandas]").
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

METHODS = ["cluster", "threads", "synchronous", "pandas", "read_sts"]
LABELS = {
    "cluster": "open_mfdataset(parallel=True).load(), LocalCluster of 2 processes",
    "threads": "open_mfdataset(parallel=True).load(), one process, threads scheduler",
    "synchronous": "open_mfdataset(parallel=True).load(), one process, synchronous scheduler",
    "pandas": "pandas.read_csv per file + pd.concat",
    "read_sts": "quillrow.read_sts per file + np.concatenate",
}


def digest(timestamps, values) -> str:
    import numpy as np

    h = hashlib.sha256()
    h.update(np.ascontiguousarray(timestamps.astype("datetime64[ms]")).view(np.int64).tobytes())
    h.update(np.ascontiguousarray(values, dtype=np.float32).tobytes())
    return h.hexdigest()


def open_archive(paths: list[str]):
    import xarray as xr

    ds = xr.open_mfdataset(paths, engine="quillrow", combine="nested", concat_dim="time", parallel=True)
    return ds.load()


def read_sts_loop(paths: list[str]):
    import numpy as np

    import quillrow

    parts = [quillrow.read_sts(p) for p in paths]
    return np.concatenate([t for t, _ in parts]), np.concatenate([v for _, v in parts])


def read_csv_loop(paths: list[str]):
    import numpy as np
    import pandas as pd

    from methods import TIME_COLUMNS, VALUE_COLUMNS, pandas_frame, timestamps_from_columns

    frames = []
    for p in paths:
        frame = pandas_frame(p)
        stamps = timestamps_from_columns(np, *(frame[c].to_numpy() for c in TIME_COLUMNS))
        frames.append(frame[VALUE_COLUMNS].set_axis(pd.DatetimeIndex(stamps, name="time")))
    return pd.concat(frames)


def child(method: str, paths: list[str]) -> dict:
    """One timed read of the whole archive in this process, after one untimed read of its
    first file by the same method: imports, xarray's engine lookup and the workers' own
    imports are not timed."""
    with contextlib.ExitStack() as stack:
        if method == "cluster":
            from distributed import Client, LocalCluster

            cluster = stack.enter_context(
                LocalCluster(
                    n_workers=2,
                    threads_per_worker=1,
                    processes=True,
                    dashboard_address=None,
                    host="127.0.0.1",
                )
            )
            stack.enter_context(Client(cluster)).wait_for_workers(2)
        elif method in ("threads", "synchronous"):
            import dask

            stack.enter_context(dask.config.set(scheduler=method))
        read = {"read_sts": read_sts_loop, "pandas": read_csv_loop}.get(method, open_archive)
        read(paths[:1])
        start = time.perf_counter()
        result = read(paths)
        seconds = time.perf_counter() - start
    if method == "read_sts":
        timestamps, values = result
    elif method == "pandas":
        timestamps, values = result.index.to_numpy(), result.to_numpy(dtype="float32")
    else:
        timestamps, values = result["time"].to_numpy(), result["values"].to_numpy()
    return {"seconds": seconds, "rows": len(timestamps), "digest": digest(timestamps, values)}


def make_archive(directory: Path, days: int, rows: int) -> list[str]:
    from gen_sts import write_sts

    directory.mkdir(parents=True, exist_ok=True)
    paths = []
    for doy in range(1, days + 1):
        path = directory / f"sample_2021_{doy:03d}_{rows}.sts"
        if not path.exists():
            write_sts(str(path), rows=rows, seed=doy, start=f"2021-{doy:03d}T00:00:00")
        paths.append(str(path))
    return paths


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=30)
    parser.add_argument("--rows", type=int, default=86400)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--methods", default=",".join(METHODS))
    parser.add_argument("--data", type=Path, default=HERE / "out" / "archive")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()

    paths = make_archive(args.data, args.days, args.rows)
    if args.child:
        print(json.dumps(child(args.child, paths)))
        return 0

    methods = args.methods.split(",")
    megabytes = sum(os.path.getsize(p) for p in paths) / 1e6
    print(f"{len(paths)} files of {args.rows} rows, {megabytes:.0f} MB, in {args.data}")
    samples: dict[str, list[float]] = {m: [] for m in methods}
    digests = set()
    for round_ in range(1, args.rounds + 1):
        print(f"round {round_}, load average {os.getloadavg()[0]:.2f}", flush=True)
        for method in methods:
            out = subprocess.run(
                [
                    *(sys.executable, __file__, "--days", str(args.days), "--rows", str(args.rows)),
                    *("--data", str(args.data), "--child", method),
                ],
                capture_output=True,
                text=True,
                check=True,
            )
            result = json.loads(out.stdout.splitlines()[-1])
            assert result["rows"] == args.days * args.rows, result
            digests.add(result["digest"])
            samples[method].append(result["seconds"])
            print(f"  {method:12} {result['seconds']:7.3f} s", flush=True)
    if len(digests) != 1:
        print(f"the methods disagree: {len(digests)} different results", file=sys.stderr)
        return 1

    print(f"\nmedian of {args.rounds} rounds, every method's result identical bit for bit:")
    print("  (ratio: the median over rounds of the method's time over pandas's in the same round)")
    for method in methods:
        ratio = ""
        if "pandas" in samples:
            within = [t / p for t, p in zip(samples[method], samples["pandas"], strict=True)]
            ratio = f"{statistics.median(within):.2f} of pandas"
        print(f"  {statistics.median(samples[method]):7.3f} s  {ratio:15}  {LABELS[method]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
