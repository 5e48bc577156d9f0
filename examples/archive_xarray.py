"""Opens a directory of daily STS files with xarray on a Dask cluster, resamples and plots.

    python examples/archive_xarray.py DIR OUT.png [--days 5] [--rows 86400] [--workers 2]

First writes --days generated daily files into DIR (sample_2021_045.sts,
sample_2021_046.sts, ..., --rows rows from midnight at one-second cadence),
then opens them all in one call through quillrow's xarray engine:

    xr.open_mfdataset("DIR/*.sts", engine="quillrow", combine="nested",
                      concat_dim="time", parallel=True, channels=[...])

Each file is read by a task on a local dask.distributed cluster of --workers
processes (--workers 0: no cluster, Dask's threads in this process) and
stays one chunk of the result.  The 1-minute means of the first three
channels are computed on the cluster and drawn as three panels; minutes
without rows are gaps.

Needs xarray, dask.distributed and matplotlib (pip install "quillrow[xarray,plot]").
"""

from __future__ import annotations

import argparse
import contextlib
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # draws to a file; no display needed

import matplotlib.dates as mdates
import matplotlib.pyplot as plt
import xarray as xr
from distributed import Client, LocalCluster

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from gen_sts import write_sts

CHANNELS = [f"C{i:02d}" for i in range(1, 12)]
PLOTTED = CHANNELS[:3]
FIRST_DAY = 45  # of 2021


def write_days(directory: Path, days: int, rows: int) -> list[Path]:
    directory.mkdir(parents=True, exist_ok=True)
    paths = []
    for doy in range(FIRST_DAY, FIRST_DAY + days):
        path = directory / f"sample_2021_{doy:03d}.sts"
        write_sts(str(path), rows=rows, seed=doy, start=f"2021-{doy:03d}T00:00:00")
        paths.append(path)
    return paths


def open_archive(directory: Path) -> xr.Dataset:
    """Every daily file of the directory as one Dataset along time, a chunk per file."""
    return xr.open_mfdataset(
        str(directory / "sample_*.sts"),
        engine="quillrow",
        combine="nested",
        concat_dim="time",
        parallel=True,
        channels=CHANNELS,
    )


def plot_means(means: xr.DataArray, title: str, png_path: Path) -> None:
    fig, axes = plt.subplots(len(PLOTTED), 1, sharex=True, figsize=(10, 6), layout="constrained")
    for ax, name in zip(axes, PLOTTED, strict=True):
        ax.plot(means["time"], means.sel(channel=name), linewidth=0.6)
        ax.set_ylabel(f"{name}, 1-min mean")
        ax.grid(True, linewidth=0.3)
    locator = mdates.AutoDateLocator()
    axes[-1].xaxis.set_major_locator(locator)
    axes[-1].xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
    axes[-1].set_xlabel("time (UTC)")
    axes[0].set_title(title)
    fig.savefig(png_path, dpi=100)
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory", type=Path, help="where the daily files are written and read")
    parser.add_argument("png", type=Path, help="the plot to write")
    parser.add_argument("--days", type=int, default=5, help="daily files to generate (default 5)")
    parser.add_argument("--rows", type=int, default=86400, help="rows per file (default 86400, a day)")
    parser.add_argument("--workers", type=int, default=2, help="local cluster processes, 0 for none")
    args = parser.parse_args(argv)

    paths = write_days(args.directory, args.days, args.rows)
    with contextlib.ExitStack() as stack:
        if args.workers > 0:
            cluster = stack.enter_context(
                LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None)
            )
            stack.enter_context(Client(cluster))
        ds = stack.enter_context(open_archive(args.directory))
        values = ds["values"]
        means = values.sel(channel=PLOTTED).resample(time="1min").mean().compute()

    first, last = (str(t)[:19] for t in values["time"].to_numpy()[[0, -1]])
    empty = int(means.isnull().all("channel").sum())
    print(f"{len(paths)} files, {values.sizes['time']} rows from {first} to {last}")
    chunks = values.data.numblocks[0]
    print(f"{chunks} chunks along time, {values.dtype} values, {values.sizes['channel']} channels")
    print(f"{means.sizes['time']} one-minute means, {empty} minutes without rows")
    plot_means(means, f"{len(paths)} daily files, 1-minute means", args.png)
    print(f"wrote {args.png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
