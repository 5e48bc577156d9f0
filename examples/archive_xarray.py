"""Opens a directory of daily STS files with xarray on a Dask cluster, resamples and plots.

    python examples/archive_xarray.py DIR OUT.png [--days 5] [--rows 86400] [--workers 2] [--hours 3]

First writes --days generated daily files into DIR (sample_2021_045.sts,
sample_2021_046.sts, ..., --rows rows from midnight at one-second cadence),
then opens them all in one call through quillrow's xarray engine:

    xr.open_mfdataset("DIR/*.sts", engine="quillrow", combine="nested",
                      concat_dim="time", parallel=True)

The channels take their names (C01..C11) and units from the files' headers.

Each file is read by a task on a local dask.distributed cluster of --workers
processes (--workers 0: no cluster, Dask's threads in this process) and
stays one chunk of the result.  The 1-minute means of the first three
channels are computed on the cluster over the whole archive; the plot shows
a time range of --hours around the first midnight between two files: the
one-second values in grey, the 1-minute means over them, one panel per
channel.  Minutes without rows are gaps.

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
import numpy as np
import xarray as xr
from distributed import Client, LocalCluster

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from gen_sts import write_sts

# Named by the generated files' headers.
PLOTTED = ["C01", "C02", "C03"]
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
    )


def plot_means(raw: xr.DataArray, means: xr.DataArray, window: slice, title: str, png_path: Path) -> None:
    # A mean is labelled with the start of its minute; drawn at the minute's middle.
    centres = means["time"] + np.timedelta64(30, "s")
    fig, axes = plt.subplots(len(PLOTTED), 1, sharex=True, figsize=(10, 6), layout="constrained")
    for ax, name in zip(axes, PLOTTED, strict=True):
        ax.plot(raw["time"], raw.sel(channel=name), color="0.75", linewidth=0.4, label="1 s")
        ax.plot(centres, means.sel(channel=name), linewidth=1.0, label="1-min mean")
        ax.set_ylabel(f"{name} ({raw['units'].sel(channel=name).item()})")
        ax.grid(True, linewidth=0.3)
    axes[0].legend(loc="upper right", fontsize="small")
    locator = mdates.AutoDateLocator()
    axes[-1].xaxis.set_major_locator(locator)
    axes[-1].xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
    axes[-1].set_xlabel("time (UTC)")
    axes[-1].set_xlim(window.start, window.stop)
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
    parser.add_argument("--hours", type=float, default=3.0, help="time range plotted (default 3)")
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
        midnight = (values["time"].to_numpy()[0].astype("datetime64[D]") + 1).astype("datetime64[ms]")
        half = np.timedelta64(round(args.hours * 1_800_000), "ms")
        window = slice(midnight - half, midnight + half)
        raw = values.sel(channel=PLOTTED, time=window).compute()

    first, last = (str(t)[:19] for t in values["time"].to_numpy()[[0, -1]])
    empty = int(means.isnull().all("channel").sum())
    print(f"{len(paths)} files, {values.sizes['time']} rows from {first} to {last}")
    chunks = values.data.numblocks[0]
    print(f"{chunks} chunks along time, {values.dtype} values, {values.sizes['channel']} channels")
    print(f"{means.sizes['time']} one-minute means, {empty} minutes without rows")
    title = f"{len(paths)} daily files, {args.hours:g} h around {str(midnight)[:16]}"
    plot_means(raw, means.sel(time=window), window, title, args.png)
    print(f"wrote {args.png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
