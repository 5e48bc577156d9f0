"""Reads a directory of daily STS files in parallel: a process pool, then Dask.

    python examples/many_files.py DIR [--workers 2] [--scheduler tcp://HOST:8786]

A process pool is the simple way on one machine: each worker calls
read_sts on one file and sends the two arrays back.  Dask is the way for an
archive that outgrows one machine: one dask.delayed read_sts per file,
concatenated into a dask.array whose chunks are the files and stay on the
workers.  The same code runs on a local cluster (the default, --workers
processes) or on any dask.distributed cluster (--scheduler ADDRESS).  Both
show a tqdm progress bar over files and report files/s and MB/s.

Needs dask and tqdm (pip install "quillrow[dask]").
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import dask
import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, as_completed, futures_of
from tqdm import tqdm

import quillrow

VALUES_PER_ROW = 11


def report(method: str, paths: list[str], rows: int, seconds: float) -> None:
    megabytes = sum(os.path.getsize(p) for p in paths) / 1e6
    print(
        f"{method}: {len(paths)} files, {rows} rows, {megabytes:.1f} MB in {seconds:.2f} s: "
        f"{len(paths) / seconds:.1f} files/s, {megabytes / seconds:.1f} MB/s"
    )


def read_with_pool(paths: list[str], workers: int) -> tuple[np.ndarray, np.ndarray]:
    start = time.perf_counter()
    with ProcessPoolExecutor(max_workers=workers) as pool:
        # map keeps the file order; the bar advances as results arrive in that order.
        parts = list(tqdm(pool.map(quillrow.read_sts, paths), total=len(paths), unit="file", desc="pool"))
    timestamps = np.concatenate([t for t, _ in parts])
    values = np.concatenate([v for _, v in parts])
    report("process pool", paths, len(timestamps), time.perf_counter() - start)
    return timestamps, values


def read_with_dask(paths: list[str], client: Client) -> tuple[da.Array, da.Array]:
    start = time.perf_counter()
    reads = [dask.delayed(quillrow.read_sts, nout=2, pure=True)(p) for p in paths]
    # The row count of a file is known only once it is read: NaN chunk sizes.
    timestamps = da.concatenate(
        [da.from_delayed(t, shape=(np.nan,), dtype="datetime64[ms]") for t, _ in reads]
    )
    values = da.concatenate(
        [da.from_delayed(v, shape=(np.nan, VALUES_PER_ROW), dtype=np.float32) for _, v in reads]
    )
    # Start the reads on the workers and keep the chunks there; one chunk per file.
    timestamps, values = client.persist([timestamps, values])
    for _ in tqdm(as_completed(futures_of(values)), total=len(paths), unit="file", desc="dask"):
        pass
    timestamps.compute_chunk_sizes()
    values.compute_chunk_sizes()
    report("dask", paths, values.shape[0], time.perf_counter() - start)
    return timestamps, values


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory", type=Path)
    parser.add_argument("--pattern", default="*.sts", help="file name pattern (default *.sts)")
    parser.add_argument("--workers", type=int, default=2, help="pool processes and local Dask workers")
    parser.add_argument("--scheduler", help="address of a running dask.distributed scheduler")
    args = parser.parse_args(argv)

    paths = sorted(str(p) for p in args.directory.glob(args.pattern))
    if not paths:
        sys.exit(f"no files matching {args.pattern} in {args.directory}")

    pool_timestamps, pool_values = read_with_pool(paths, args.workers)

    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(Client(args.scheduler))
        else:
            cluster = stack.enter_context(
                LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None)
            )
            client = stack.enter_context(Client(cluster))
        timestamps, values = read_with_dask(paths, client)
        # Reductions run where the chunks are; only the eleven means come back.
        means = da.nanmean(values, axis=0).compute()
        same = bool(
            (timestamps.compute() == pool_timestamps).all()
            and np.array_equal(values.compute(), pool_values, equal_nan=True)
        )
        print(f"column means: {np.array2string(means, precision=3, max_line_width=200)}")
        print(f"pool and dask read the same rows: {same}")
        del timestamps, values  # release the chunks before the client and cluster go
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
