"""Plots a day of data from one STS file to a PNG.

    python examples/plot_day.py sample_2021_045.sts day.png

Four panels sharing one time axis: the first three channels (value columns
0, 1 and 2, C01 to C03 in the generated samples) and their Euclidean norm,
computed from them.  Needs matplotlib (pip install "quillrow[plot]").
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
    channels = [values[:, i] for i in range(3)]
    # Summed in float64: the squares of float32 values of a few hundred lose digits.
    norm = np.sqrt(sum(c.astype(np.float64) ** 2 for c in channels))

    fig, axes = plt.subplots(4, 1, sharex=True, figsize=(10, 8), layout="constrained")
    labels = ("C01", "C02", "C03", "norm of C01..C03")
    for ax, series, label in zip(axes, (*channels, norm), labels, strict=True):
        ax.plot(timestamps, series, linewidth=0.6)
        ax.set_ylabel(label)
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
