"""The scripts under examples/, each run on generated sample files."""

import re
import runpy
import subprocess
import sys
from types import SimpleNamespace

import numpy as np
import pytest

import quillrow

from conftest import ROOT
from gen_sts import write_sts

EXAMPLES = ROOT / "examples"


def run_example(name, *args, cwd=None, timeout=120):
    out = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *map(str, args)],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=timeout,
    )
    assert out.returncode == 0, out.stderr
    return out


def load_example(name):
    """The example's names, loaded without running its command-line part."""
    return SimpleNamespace(**runpy.run_path(str(EXAMPLES / name)))


def test_plot_day_draws_four_panels(tmp_path):
    pytest.importorskip("matplotlib")
    from matplotlib import image

    sts = tmp_path / "sample_2021_045.sts"
    write_sts(str(sts), rows=6 * 3600, seed=45, start="2021-045T00:00:00")
    png = tmp_path / "day.png"
    run_example("plot_day.py", sts, png)

    pixels = image.imread(str(png))
    assert pixels.shape[:2] == (800, 1000)
    # Count the columns of the image that hold the plot's line colour (matplotlib's
    # first colour, #1f77b4): the traces must run across most of the width.
    rgb = (pixels[..., :3] * 255).round().astype(int)
    blue = np.abs(rgb - [0x1F, 0x77, 0xB4]).sum(axis=-1) < 60
    assert blue.any(axis=0).sum() > 700
    # Four panels stacked: line colour in each quarter of the height.
    quarters = np.array_split(blue.any(axis=1), 4)
    assert all(q.any() for q in quarters)


def test_to_pandas_shares_the_arrays(tmp_path):
    pd = pytest.importorskip("pandas")
    to_pandas = load_example("to_pandas.py")
    sts = tmp_path / "day.sts"
    write_sts(str(sts), rows=500, seed=3)
    timestamps, values = quillrow.read_sts(str(sts))

    frame = to_pandas.to_frame(timestamps, values)
    assert frame.shape == (500, 11)
    assert list(frame.columns) == to_pandas.COLUMNS
    assert isinstance(frame.index, pd.DatetimeIndex) and frame.index.dtype == "datetime64[ms]"
    assert np.shares_memory(frame.to_numpy(), values)
    assert np.shares_memory(frame.index.to_numpy(), timestamps)
    np.testing.assert_array_equal(frame["c03"].to_numpy(), values[:, 2])

    # Shared, not equal by chance: a write into the matrix shows in the frame,
    # and not in an explicit copy.
    independent = frame.copy()
    values[7, 2] = -1234.5
    assert frame["c03"].iloc[7] == np.float32(-1234.5)
    assert independent["c03"].iloc[7] != np.float32(-1234.5)

    out = run_example("to_pandas.py", sts)
    assert "values shared with the matrix: True" in out.stdout
    assert "index shared with the timestamps: True" in out.stdout


def test_many_files_on_a_two_worker_cluster(tmp_path):
    pytest.importorskip("dask.array")
    pytest.importorskip("tqdm")
    distributed = pytest.importorskip("distributed")

    days = tmp_path / "days"
    days.mkdir()
    rows = [900, 1200, 1, 700, 1000]
    for day, n in zip(range(45, 50), rows, strict=True):
        name = f"sample_2021_{day:03d}"
        write_sts(str(days / f"{name}.sts"), rows=n, seed=day, start=f"2021-{day:03d}T00:00:00")
    (days / "notes.txt").write_text("not an STS file, and not matched by the pattern\n")

    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, host="127.0.0.1"
    ) as cluster:
        assert len(cluster.workers) == 2
        out = run_example("many_files.py", days, "--workers", "2", "--scheduler", cluster.scheduler_address)
        # The reads ran as tasks of this cluster, not in the script's own process.
        assert "read_sts" in cluster.scheduler.task_prefixes

    total = sum(rows)
    lines = out.stdout.splitlines()
    rate = r"in \d+\.\d+ s: \d+\.\d files/s, \d+\.\d MB/s"
    assert re.fullmatch(rf"process pool: 5 files, {total} rows, \d+\.\d MB {rate}", lines[0])
    assert re.fullmatch(rf"dask: 5 files, {total} rows, \d+\.\d MB {rate}", lines[1])
    assert lines[-1] == "pool and dask read the same rows: True"
    # tqdm draws its bars on stderr, one per method, each reaching 5 of 5 files.
    assert "pool: 100%" in out.stderr and "dask: 100%" in out.stderr and "5/5" in out.stderr

    expected = np.concatenate([quillrow.read_sts(str(p))[1] for p in sorted(days.glob("*.sts"))])
    means = re.fullmatch(r"column means: \[(.*)\]", lines[2]).group(1).split()
    np.testing.assert_allclose([float(m) for m in means], expected.mean(axis=0, dtype=np.float64), rtol=1e-3)


def test_archive_xarray_resamples_days_on_a_cluster(tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("distributed")
    pytest.importorskip("quillrow_xarray")
    from matplotlib import image

    png = tmp_path / "means.png"
    args = ("--days", "3", "--rows", "1800", "--hours", "1")
    out = run_example("archive_xarray.py", tmp_path / "days", png, *args)
    assert sorted(p.name for p in (tmp_path / "days").iterdir()) == [
        f"sample_2021_{day}.sts" for day in ("045", "046", "047")
    ]
    # Three half hours from midnight of days 45..47: minutes 00:00 of day 45 to 00:29 of day 47.
    assert out.stdout.splitlines() == [
        "3 files, 5400 rows from 2021-02-14T00:00:00 to 2021-02-16T00:29:59",
        "3 chunks along time, float32 values, 11 channels",
        f"{2 * 1440 + 30} one-minute means, {2 * 1440 + 30 - 90} minutes without rows",
        f"wrote {png}",
    ]
    pixels = image.imread(str(png))
    assert pixels.shape[:2] == (600, 1000)
    # Line colour (matplotlib's first, #1f77b4) in each of the three panels, across the
    # half of the hour plotted (23:30 to 00:30) that has rows: the first 30 minutes of day 46.
    blue = np.abs(pixels[..., :3] - np.array([0x1F, 0x77, 0xB4], np.float32) / 255).sum(axis=-1) < 60 / 255
    assert all(third.any() for third in np.array_split(blue.any(axis=1), 3))
    columns = np.flatnonzero(blue.any(axis=0))
    assert 350 < len(columns) < 500 and columns[0] > 450
