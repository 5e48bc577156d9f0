"""An archive of daily files through xarray on Dask, against a pandas.read_csv loop.

    .venv/bin/python bench/xarray_archive.py [--days 30] [--rows 86400] [--rounds 3]
        [--workloads load,hourly,max] [--methods cluster,synchronous,threads,pandas,read_sts]
        [--scheduler ADDRESS]
    .venv/bin/python bench/xarray_archive.py --memory --days 180 [--cache-bytes 67108864]

Writes --days generated files of --rows rows each (sample_2021_001_86400.sts,
...) into bench/out/archive/ unless they are there already.  Then, for every
workload and method, each sample in a fresh process and the methods
interleaved in every round, it times:

workloads
- load: the whole archive into memory;
- hourly: the hourly mean of every channel;
- max: the maximum of every channel over the archive.

methods
- cluster: xr.open_mfdataset(..., engine="quillrow", parallel=True) and the
  workload's xarray code, computed on a dask.distributed cluster: a
  LocalCluster of 2 worker processes with 1 thread each, started (its workers
  up) before the clock starts, or the existing scheduler at --scheduler;
- synchronous, threads: the same code in one process under Dask's synchronous
  and threaded schedulers;
- pandas: pandas.read_csv of each file in a loop (C parser, whitespace
  separated, header lines skipped, time columns as int32, values as
  float32), a DatetimeIndex from the time columns, pd.concat, then the
  workload in pandas;
- read_sts: quillrow.read_sts in a loop and np.concatenate (load only), the floor.

Each process first runs its method on the archive's first file, untimed, so
that imports and first-call set-up (xarray's engine lookup, the workers'
imports) are left out.  Before any time is printed the results must agree:
loads bit for bit, maxima exactly, hourly means to float32 rounding (pandas
sums in float64, Dask in float32).  Prints the median wall time per workload
and method and its ratio to pandas and to synchronous within a round.

What two workers on two cores can show: the cluster's gain is parallel
parsing, at best twice one process, and it pays for task scheduling,
serialising the time coordinates to the client and the reduced results back.
The client's own process shares the same two cores.  On a real cluster
(--scheduler) the workers must see the archive's paths; the ratios then say
how far the work spreads, against one process on the client's machine.

--memory instead reports, in a fresh process, the peak resident memory of
open_mfdataset(...).resample(time="1h").mean().compute() under the threaded
scheduler with the given cache bound, next to the parts the bound is made
of: the cache, the time coordinates, one file's matrix per thread, and the
interpreter with its imports (measured after the same code on one file).

Needs xarray, dask.distributed and pandas (pip install "quillrow[xarray,pandas]").
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

METHODS = ["cluster", "synchronous", "threads", "pandas", "read_sts"]
WORKLOADS = ["load", "hourly", "max"]
LABELS = {
    "cluster": "open_mfdataset(parallel=True), 2-worker LocalCluster",
    "synchronous": "open_mfdataset(parallel=True), one process, synchronous",
    "threads": "open_mfdataset(parallel=True), one process, threads",
    "pandas": "pandas.read_csv per file + pd.concat",
    "read_sts": "quillrow.read_sts per file + np.concatenate",
}


def digest(*arrays: Any) -> str:
    import numpy as np

    h = hashlib.sha256()
    for array in arrays:
        h.update(np.ascontiguousarray(array).tobytes())
    return h.hexdigest()


def xarray_workload(paths: list[str], workload: str) -> Any:
    import numpy as np
    import xarray as xr

    ds = xr.open_mfdataset(paths, engine="quillrow", combine="nested", concat_dim="time", parallel=True)
    if workload == "load":
        ds = ds.load()
        return ds["time"].to_numpy().astype("datetime64[ms]").view(np.int64), ds["values"].to_numpy()
    if workload == "hourly":
        means = ds["values"].resample(time="1h").mean().compute()
        return means["time"].to_numpy().astype("datetime64[ms]").view(np.int64), means.to_numpy()
    return ds["values"].max("time").compute().to_numpy()


def read_sts_workload(paths: list[str], workload: str) -> Any:
    import numpy as np

    import quillrow

    assert workload == "load", "read_sts takes part in the load workload only"
    parts = [quillrow.read_sts(p) for p in paths]
    return np.concatenate([t for t, _ in parts]).view(np.int64), np.concatenate([v for _, v in parts])


def pandas_workload(paths: list[str], workload: str) -> Any:
    import numpy as np
    import pandas as pd

    from methods import TIME_COLUMNS, VALUE_COLUMNS, pandas_frame, timestamps_from_columns

    frames = []
    for p in paths:
        frame = pandas_frame(p)
        stamps = timestamps_from_columns(np, *(frame[c].to_numpy() for c in TIME_COLUMNS))
        frames.append(frame[VALUE_COLUMNS].set_axis(pd.DatetimeIndex(stamps, name="time")))
    frame = pd.concat(frames)
    if workload == "load":
        return frame.index.to_numpy().astype("datetime64[ms]").view(np.int64), frame.to_numpy(dtype="float32")
    if workload == "hourly":
        means = frame.resample("1h").mean()
        return means.index.to_numpy().astype("datetime64[ms]").view(np.int64), means.to_numpy(dtype="float32")
    return frame.max().to_numpy(dtype="float32")


def summary(workload: str, result: Any) -> dict[str, Any]:
    """What the parent compares across methods: a digest, or the reduced values themselves."""
    if workload == "load":
        return {"rows": len(result[0]), "digest": digest(*result)}
    if workload == "hourly":
        return {"rows": len(result[0]), "times": digest(result[0]), "values": result[1].tolist()}
    return {"rows": 1, "values": result.tolist()}


def import_workload_modules() -> None:
    import flox  # noqa: F401
    import pandas  # noqa: F401
    import xarray  # noqa: F401

    import quillrow_xarray.backend  # noqa: F401


def child(method: str, workload: str, paths: list[str], scheduler: str | None) -> dict[str, Any]:
    """One timed run of the workload in this process, after one untimed run on the first file."""
    with contextlib.ExitStack() as stack:
        if method == "cluster":
            from distributed import Client, LocalCluster, get_client

            if scheduler:
                stack.enter_context(Client(scheduler))
            else:
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
            # Every worker imports what the workload runs, outside the clock: the
            # untimed first-file run below may reach only one of them.
            get_client().run(import_workload_modules)
        elif method in ("threads", "synchronous"):
            import dask

            stack.enter_context(dask.config.set(scheduler=method))
        run = {"read_sts": read_sts_workload, "pandas": pandas_workload}.get(method, xarray_workload)
        run(paths[:1], workload)
        start = time.perf_counter()
        result = run(paths, workload)
        seconds = time.perf_counter() - start
    return {"seconds": seconds, **summary(workload, result)}


def rss_now() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(paths: list[str], cache_bytes: int) -> dict[str, Any]:
    import dask
    import xarray as xr

    def hourly(files: list[str], after_open: list[int]) -> Any:
        ds = xr.open_mfdataset(
            files, engine="quillrow", combine="nested", concat_dim="time", cache_bytes=cache_bytes
        )
        after_open.append(rss_now())
        return ds["values"].resample(time="1h").mean().compute()

    opened: list[int] = []
    with dask.config.set(scheduler="threads"):
        hourly(paths[:1], opened)
        # ru_maxrss never falls: the first file's run sets the interpreter's baseline.
        interpreter = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        start = time.perf_counter()
        hourly(paths, opened)
        seconds = time.perf_counter() - start
    return {
        "seconds": seconds,
        "peak": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
        "after_open": opened[-1],
        "interpreter": interpreter,
        "threads": dask.system.CPU_COUNT,
    }


def make_archive(directory: Path, days: int, rows: int) -> list[str]:
    from gen_sts import write_sts

    directory.mkdir(parents=True, exist_ok=True)
    paths = []
    for number in range(days):
        year, doy = 2021 + number // 365, number % 365 + 1
        path = directory / f"sample_{year}_{doy:03d}_{rows}.sts"
        if not path.exists():
            write_sts(str(path), rows=rows, seed=number + 1, start=f"{year}-{doy:03d}T00:00:00")
        paths.append(str(path))
    return paths


def run_child(args: argparse.Namespace, *extra: str) -> dict[str, Any]:
    command = [
        *(sys.executable, __file__, "--days", str(args.days), "--rows", str(args.rows)),
        *("--data", str(args.data), *extra),
    ]
    out = subprocess.run(command, capture_output=True, text=True, check=False)
    if out.returncode:
        sys.exit(f"{' '.join(extra)} failed:\n{out.stderr}")
    result: dict[str, Any] = json.loads(out.stdout.splitlines()[-1])
    return result


def agree(workload: str, results: dict[str, dict[str, Any]]) -> str | None:
    """None when every method's result matches, else what differs."""
    import numpy as np

    first_method, first = next(iter(results.items()))
    for method, result in results.items():
        if result["rows"] != first["rows"]:
            return f"{method} has {result['rows']} rows, {first_method} {first['rows']}"
        if workload == "load" and result["digest"] != first["digest"]:
            return f"{method} loads other bits than {first_method}"
        if workload == "hourly":
            # float32 sums in another order: within a few float32 ulps of the column's scale.
            expected = np.array(first["values"], dtype=float)
            scale = 1e-5 * np.nanmax(np.abs(expected), axis=0)
            close = np.allclose(result["values"], expected, rtol=1e-5, atol=scale, equal_nan=True)
            if result["times"] != first["times"] or not close:
                return f"{method}'s hourly means differ from {first_method}'s"
        if workload == "max" and result["values"] != first["values"]:
            return f"{method}'s maxima differ from {first_method}'s"
    return None


def memory_report(args: argparse.Namespace, paths: list[str]) -> int:
    """Peak memory with the cache bound, and with a cache that holds every matrix."""
    bounded = run_child(args, "--memory-child", "--cache-bytes", str(args.cache_bytes))
    unbounded = run_child(args, "--memory-child", "--cache-bytes", str(2**62))
    mib = 2**20
    rows = args.days * args.rows
    times = rows * 8
    matrix = args.rows * 11 * 4 * bounded["threads"]
    print(f"{len(paths)} files of {args.rows} rows: {rows * 44 / mib:.0f} MiB of values in all")
    print(f"hourly mean, threaded scheduler, {bounded['threads']} threads; MiB resident:\n")
    print(f"| | cache {args.cache_bytes / mib:.0f} MiB | every matrix cached |\n|---|---|---|")
    for label, key in (
        ("interpreter and imports", "interpreter"),
        ("after open", "after_open"),
        ("peak", "peak"),
    ):
        print(f"| {label} | {bounded[key] / mib:.0f} | {unbounded[key] / mib:.0f} |")
    print(f"| seconds | {bounded['seconds']:.1f} | {unbounded['seconds']:.1f} |")
    print(f"\ntime coordinate {times / mib:.0f} MiB, one matrix per thread {matrix / mib:.0f} MiB")
    bound = args.cache_bytes + times + matrix + bounded["interpreter"]
    print(
        f"after open, against cache + time coordinate + one matrix per thread + interpreter:"
        f" {bounded['after_open'] / mib:.0f} of {bound / mib:.0f} MiB"
    )
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--days", type=int, default=30)
    parser.add_argument("--rows", type=int, default=86400)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--methods", default=",".join(METHODS))
    parser.add_argument("--workloads", default=",".join(WORKLOADS))
    parser.add_argument("--scheduler", metavar="ADDRESS", help="run the cluster method on this scheduler")
    parser.add_argument("--data", type=Path, default=HERE / "out" / "archive")
    parser.add_argument("--memory", action="store_true", help="report peak memory instead of times")
    parser.add_argument("--cache-bytes", type=int, default=64 * 2**20)
    parser.add_argument("--child", nargs=2, metavar=("METHOD", "WORKLOAD"), help=argparse.SUPPRESS)
    parser.add_argument("--memory-child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    paths = make_archive(args.data, args.days, args.rows)
    if args.child:
        print(json.dumps(child(*args.child, paths, args.scheduler)))
        return 0
    if args.memory_child:
        print(json.dumps(memory_child(paths, args.cache_bytes)))
        return 0
    if args.memory:
        return memory_report(args, paths)

    methods = args.methods.split(",")
    workloads = args.workloads.split(",")
    megabytes = sum(os.path.getsize(p) for p in paths) / 1e6
    print(f"{len(paths)} files of {args.rows} rows, {megabytes:.0f} MB, in {args.data}")
    runs = [(w, m) for w in workloads for m in methods if m != "read_sts" or w == "load"]
    samples: dict[tuple[str, str], list[float]] = {run: [] for run in runs}
    for round_ in range(1, args.rounds + 1):
        print(f"round {round_}, load average {os.getloadavg()[0]:.2f}", flush=True)
        results: dict[str, dict[str, dict[str, Any]]] = {w: {} for w in workloads}
        for workload, method in runs:
            extra = ("--scheduler", args.scheduler) if args.scheduler else ()
            result = run_child(args, "--child", method, workload, *extra)
            results[workload][method] = result
            samples[workload, method].append(result["seconds"])
            print(f"  {workload:7} {method:12} {result['seconds']:7.3f} s", flush=True)
        for workload in workloads:
            problem = agree(workload, results[workload])
            if problem:
                print(f"the methods disagree on {workload}: {problem}", file=sys.stderr)
                return 1

    print(f"\nmedian of {args.rounds} rounds; the methods' results agree (loads bit for bit)")
    print("ratios: the median over rounds of the method's time over the reference's in the same round\n")
    print("| workload | method | time | / synchronous | / pandas |\n|---|---|---|---|---|")
    for workload, method in runs:

        def ratio(reference: str, workload: str = workload, method: str = method) -> str:
            if (workload, reference) not in samples:
                return "-"
            pairs = zip(samples[workload, method], samples[workload, reference], strict=True)
            return f"{statistics.median(t / r for t, r in pairs):.2f}"

        seconds = statistics.median(samples[workload, method])
        label = LABELS[method] if method != "cluster" or not args.scheduler else f"scheduler {args.scheduler}"
        print(f"| {workload} | {label} | {seconds:.3f} s | {ratio('synchronous')} | {ratio('pandas')} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
