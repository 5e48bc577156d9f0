"""Plots a day of magnetometer data from one STS file to a PNG.

    python examples/plot_day.py mag_2016_240.sts day.png

Four panels sharing one time axis: the three field components (value
columns 0, 1 and 2) and the magnitude of the field, computed from them.
Needs matplotlib (pip install "quillrow[plot]").
"""

import sys

import matplotlib

matplotlib.use("Agg")  # draws to a file; no display needed

import matplotlib.dates as mdates
import matplotlib.pyplot as plt
import numpy as np

import quillrow


def plot_day(sts_path: str, png_path: str) -> None:
    timestamps, values = quillrow.read_sts(sts_path)
    bx, by, bz = values[:, 0], values[:, 1], values[:, 2]
    # Summed in float64: the squares of nT-sized float32 values lose digits.
    magnitude = np.sqrt(bx.astype(np.float64) ** 2 + by.astype(np.float64) ** 2 + bz.astype(np.float64) ** 2)

    fig, axes = plt.subplots(4, 1, sharex=True, figsize=(10, 8), layout="constrained")
    for ax, series, label in zip(axes, (bx, by, bz, magnitude), ("Bx", "By", "Bz", "|B|"), strict=True):
        ax.plot(timestamps, series, linewidth=0.6)
        ax.set_ylabel(f"{label} (nT)")
        ax.grid(True, linewidth=0.3)

    # Concise labels: hours along the axis, the date once at its edge.
    locator = mdates.AutoDateLocator()
    axes[-1].xaxis.set_major_locator(locator)
    axes[-1].xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
    axes[-1].set_xlabel("time (UTC)")
    first = np.datetime_as_string(timestamps[0], unit="s")
    last = np.datetime_as_string(timestamps[-1], unit="s")
    axes[0].set_title(f"{sts_path}: {len(timestamps)} rows, {first} to {last}")

    fig.savefig(png_path, dpi=100)
    plt.close(fig)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: plot_day.py FILE.sts OUT.png")
    plot_day(sys.argv[1], sys.argv[2])
