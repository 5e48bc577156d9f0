"""The xarray engine `quillrow` (python/quillrow_xarray), one file and many over Dask."""

import io
import os
import pickle
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import quillrow
from quillrow_format import FileIdentity

from conftest import HEADER, ROW
from gen_sts import write_sts

REASON = "the xarray engine needs xarray>=2025.1.2 (pip install 'quillrow[xarray]')"
xr = pytest.importorskip("xarray", minversion="2025.1.2", reason=REASON)
quillrow_xarray = pytest.importorskip("quillrow_xarray", reason=REASON)

NAMES = [f"C{i:02d}" for i in range(1, 12)]


def assert_same_bits(ds, timestamps, values):
    assert ds["time"].dtype == np.dtype("datetime64[ms]")
    assert ds["values"].dtype == np.float32 and ds["values"].dims == ("time", "channel")
    np.testing.assert_array_equal(ds["time"].to_numpy().view(np.int64), timestamps.view(np.int64))
    np.testing.assert_array_equal(ds["values"].to_numpy().view(np.uint32), values.view(np.uint32))


AHEAD_NS = 10 * 10**9


@pytest.fixture
def matrices(monkeypatch):
    """The engine's cache for this test alone, with a clock 10 s ahead: the files the
    test has just written count as settled (their change times cannot be set back)."""
    from quillrow_xarray import cache

    own = cache.MatrixCache(clock=lambda: time.time_ns() + AHEAD_NS)
    monkeypatch.setattr(cache, "MATRICES", own)
    return own


@pytest.mark.parametrize("as_path", [False, True], ids=["str", "Path"])
def test_open_then_load_reads_once_without_a_copy(tmp_path, monkeypatch, matrices, as_path):
    sts = tmp_path / "sample_2021_045.sts"
    write_sts(str(sts), rows=3000, seed=45, start="2021-045T00:00:00")
    # Values read_sts gives bits that a float64 round trip would change: NaN payload, -0.
    with open(sts, "a") as out:
        out.write("2021 046 00 00 00 000 x -0 nan -nan inf -inf 1e-45 3.4028235e38 1 2 3 4\n")
    expected = quillrow.read_sts(str(sts))
    header = sts.read_text().split("\n2021 045 ")[0]

    handed_out = []

    def recording_read_sts(path):
        assert type(path) is str
        handed_out.append(read_sts(path))
        return handed_out[-1]

    read_sts = quillrow.read_sts
    monkeypatch.setattr(quillrow, "read_sts", recording_read_sts)

    # No engine given: the .sts suffix picks it through the registered entry point.
    with xr.open_dataset(sts if as_path else str(sts)) as ds:
        # Parsed once, at open; the matrix handed over from the cache, not copied again.
        [held] = matrices.held()
        assert_same_bits(ds, *expected)
        assert len(handed_out) == 1 and len(matrices) == 0
        assert np.shares_memory(ds["values"].to_numpy(), held)
        assert ds["channel"].to_numpy().tolist() == NAMES
        assert ds["units"].to_numpy().tolist() == ["none"] * 11
        assert ds.attrs["source"] == str(sts)
        assert ds.attrs["header"] == header and "END_OBJECT" in header.splitlines()[-1]


@pytest.mark.parametrize(
    "header, text",
    [
        # CRLF line ends, a blank line kept, a byte that is not UTF-8 escaped.
        (
            b"X = 1\r\n\r\nOBJECT = FILE\r\n  NAME = \xff\r\nEND_OBJECT = FILE\r\n",
            "X = 1\n\nOBJECT = FILE\n  NAME = \\xff\nEND_OBJECT = FILE",
        ),
        # Closes can run ahead of opens; the header ends when they balance.
        (b"END_OBJECT = A\nOBJECT = B\n", "END_OBJECT = A\nOBJECT = B"),
        # A line holding both words is only a close.
        (b"OBJECT = A\nOBJECT_END_OBJECT = A\n", "OBJECT = A\nOBJECT_END_OBJECT = A"),
    ],
    ids=["crlf-blank-latin1", "close-first", "both-words"],
)
def test_header_attribute_ends_where_the_reader_does(sts_file, header, text):
    path = sts_file(ROW, ROW, header=header)
    with xr.open_dataset(path, engine="quillrow") as ds:
        assert ds.attrs["header"] == text
        assert ds.sizes["time"] == 2


@pytest.mark.parametrize(
    "kwargs, data_vars, coords",
    [
        ({"drop_variables": "values"}, [], ["channel", "time"]),
        ({"drop_variables": ["channel"], "channels": NAMES}, ["values"], ["time"]),
        ({"channels": NAMES}, ["values"], ["channel", "time"]),
    ],
)
def test_drop_variables_and_channel_names(sts_file, kwargs, data_vars, coords):
    with xr.open_dataset(sts_file(ROW), engine="quillrow", **kwargs) as ds:
        assert sorted(ds.data_vars) == data_vars
        assert sorted(ds.coords) == coords
        if "channel" in coords:
            assert ds["channel"].to_numpy().tolist() == kwargs.get("channels", list(range(11)))


@pytest.mark.parametrize(
    "channels, error", [(NAMES[:10], ValueError), ([*NAMES[:10], "C01"], ValueError), ("C" * 11, TypeError)]
)
def test_channel_names_must_be_eleven_distinct(sts_file, channels, error):
    with pytest.raises(error, match="11"):
        xr.open_dataset(sts_file(ROW), engine="quillrow", channels=channels)


@pytest.mark.parametrize(
    "target, can_open",
    [
        ("days/sample_2021_045.sts", True),
        (Path("SAMPLE.STS"), True),
        ("sample.sts.gz", False),
        ("sample.nc", False),
        (b"sample.sts", False),  # read_sts takes str paths only
        (io.BytesIO(b""), False),
    ],
)
def test_guess_can_open(target, can_open):
    assert quillrow_xarray.QuillrowBackendEntrypoint().guess_can_open(target) is can_open


@pytest.mark.parametrize(
    "content, name",
    [(None, "missing.sts"), (HEADER + ROW + b"\n" + ROW[:-3] + b"\n", "short.sts"), (b"", "empty.sts")],
)
@pytest.mark.parametrize("as_path", [False, True], ids=["str", "Path"])
def test_read_errors_pass_through_unchanged(tmp_path, content, name, as_path):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(Exception) as direct:
        quillrow.read_sts(str(path))
    with pytest.raises(Exception) as through:
        xr.open_dataset(path if as_path else str(path), engine="quillrow")
    assert type(through.value) is type(direct.value)
    assert through.value.args == direct.value.args


def test_pickled_dataset_carries_the_path_not_the_matrix(tmp_path):
    # How a Dask worker's opened file reaches the client and other workers.
    sts = tmp_path / "sample_2021_045.sts"
    write_sts(str(sts), rows=10_000, seed=45, start="2021-045T00:00:00")
    ds = xr.open_dataset(sts, engine="quillrow")
    blob = pickle.dumps(ds)
    assert len(blob) < ds["values"].nbytes / 4

    again = pickle.loads(blob)
    assert_same_bits(again, *quillrow.read_sts(str(sts)))
    assert not np.shares_memory(again["values"].to_numpy(), ds["values"].to_numpy())

    write_sts(str(sts), rows=9_999, seed=45, start="2021-045T00:00:00")
    with pytest.raises(ValueError, match=f"^{re.escape(str(sts))} changed since it was opened"):
        pickle.loads(blob).load()


def test_open_mfdataset_on_a_two_process_cluster(tmp_path):
    distributed = pytest.importorskip("distributed", reason="the cluster test needs dask.distributed")
    days = tmp_path / "days"
    days.mkdir()
    rows = {45: 700, 46: 1, 47: 1200}
    for day, n in rows.items():
        write_sts(
            str(days / f"sample_2021_{day:03d}.sts"), rows=n, seed=day, start=f"2021-{day:03d}T00:00:00"
        )
    paths = sorted(str(p) for p in days.glob("*.sts"))
    parts = [quillrow.read_sts(p) for p in paths]

    def open_all(pattern):
        return xr.open_mfdataset(
            str(days / pattern),
            engine="quillrow",
            combine="nested",
            concat_dim="time",
            parallel=True,
            channels=NAMES,
        )

    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, host="127.0.0.1"
        ) as cluster,
        distributed.Client(cluster),
    ):
        with open_all("*.sts") as ds:
            assert ds["values"].chunks == (tuple(rows.values()), (11,))
            ds.load()
        # The files were opened by tasks of this cluster.
        assert "open_dataset" in cluster.scheduler.task_prefixes

        bad = days / "sample_2021_048.sts"
        bad.write_bytes(HEADER + ROW + b"\n" + ROW + b" 12\n")
        with pytest.raises(ValueError) as info:
            open_all("*.sts")
        assert str(info.value) == f"Invalid file {bad} at line 7: too many fields"

    assert_same_bits(ds, np.concatenate([t for t, _ in parts]), np.concatenate([v for _, v in parts]))
    assert ds["channel"].to_numpy().tolist() == NAMES
    assert ds.attrs["source"] == paths[0]


def column_header(names, numbers=None, units=True):
    """A header whose innermost objects are the given columns."""
    lines = ["FORMAT_VERSION = 1", "OBJECT = FILE", "  OBJECT = RECORD"]
    for i, name in enumerate(names, start=1):
        lines += ["    OBJECT = COLUMN", f"      NAME = {name}"]
        if numbers is not None:
            lines.append(f"      COLUMN_NUMBER = {numbers[i - 1]}")
        if units:
            lines.append(f'      UNIT = "u{i}"')
        lines.append("    END_OBJECT = COLUMN")
    lines += ["  END_OBJECT = RECORD", "END_OBJECT = FILE"]
    return ("\n".join(lines) + "\n").encode()


FIELDS = ["Y", "D", "H", "M", "S", "MS", "X", *NAMES]


@pytest.mark.parametrize(
    "header, channel, units",
    [
        (column_header(FIELDS), NAMES, [f"u{i}" for i in range(8, 19)]),
        (column_header(FIELDS, numbers=range(1, 19), units=False), NAMES, None),
        # Not the eighteen columns in order: the channels stay numbered.
        (HEADER, list(range(11)), None),
        (column_header(FIELDS[:17]), list(range(11)), None),
        (column_header([*FIELDS[:17], "C01"]), list(range(11)), None),
        (column_header(FIELDS, numbers=[*range(1, 17), 18, 17]), list(range(11)), None),
    ],
    ids=["named", "numbered-no-units", "no-columns", "17-columns", "repeated-name", "out-of-order"],
)
def test_channel_names_and_units_from_the_header(sts_file, header, channel, units):
    path = sts_file(ROW, header=header)
    with xr.open_dataset(path, engine="quillrow") as ds:
        assert ds["channel"].to_numpy().tolist() == channel
        assert (ds["units"].to_numpy().tolist() if "units" in ds.coords else None) == units
    # channels= overrides the names and the units.
    with xr.open_dataset(path, engine="quillrow", channels=list("abcdefghijk")) as ds:
        assert ds["channel"].to_numpy().tolist() == list("abcdefghijk") and "units" not in ds.coords


def test_parse_header_nests_objects_and_lists_repeats():
    text = (
        'A = 1\nB = "quoted value"\n\nno equals sign\nOBJECT = FILE\n  OBJECT = COLUMN\n    NAME = X\n'
        "  END_OBJECT = COLUMN\n  K = 'v'\n  OBJECT = COLUMN\n    NAME = Y\n    OBJECT = PART\n"
        "    END_OBJECT\n  END_OBJECT = COLUMN\n  K = w\nEND_OBJECT = FILE"
    )
    assert quillrow_xarray.parse_header(text) == {
        "A": "1",
        "B": "quoted value",
        "FILE": {"COLUMN": [{"NAME": "X"}, {"NAME": "Y", "PART": {}}], "K": ["v", "w"]},
    }


def fixed_width_file(path, day, value):
    """500 rows of day ``day`` whose values are all ``value`` written in four
    characters: a rewrite with another day or value keeps the size."""
    rows = "".join(
        f"2021 {day:03d} 00 {i // 60:02d} {i % 60:02d} 000 x" + f" {value:4.1f}" * 11 + "\n"
        for i in range(500)
    )
    Path(path).write_bytes(HEADER + rows.encode())


def ctime_blind(path):
    """The identity a file system gives whose clock step hides a rewrite: the change time stays."""
    found = FileIdentity.or_none(path)
    return None if found is None else FileIdentity(found.device, found.inode, found.size, found.mtime_ns, 0)


@pytest.mark.parametrize(
    "blind, new_day, later_cache_bytes",
    [
        (False, False, None),  # rewritten in place, mtime put back (rsync --inplace -t, tar -x)
        (False, True, 0),  # another day written over the file
        (
            True,
            True,
            1,
        ),  # the change unseen, the timestamps changed: the cache entry of the old version found
        (True, False, 0),  # the change unseen, opened later with the cache off: the cache is not read
    ],
    ids=["mtime-restored", "new-day", "times-changed-cache-hit", "cache-off-after-cached-open"],
)
def test_a_rewritten_file_never_gives_old_values(tmp_path, matrices, blind, new_day, later_cache_bytes):
    sts = str(tmp_path / "sample.sts")
    fixed_width_file(sts, 45, 1.5)
    if blind:
        matrices.identify = ctime_blind
    before = xr.open_dataset(sts, engine="quillrow")
    assert len(matrices) == 1
    mtime = os.stat(sts).st_mtime_ns
    # Past the step of the file system's clock, which stamps the change time: the
    # test's clock ahead made the file count as settled.
    time.sleep(1.0 if FileIdentity.of(sts).coarse else 0.02)
    fixed_width_file(sts, 46 if new_day else 45, 2.5)
    os.utime(sts, ns=(mtime, mtime))
    expected = quillrow.read_sts(sts)

    # A blind identity cannot tell the dataset opened first that its file changed:
    # the entry it finds is of the version it opened.
    if not blind and new_day:
        changed = f"^{re.escape(sts)} changed since it was opened: open it again$"
        with pytest.raises(ValueError, match=changed):
            before.load()
    elif not blind:
        assert_same_bits(before, *expected)
    with xr.open_dataset(sts, engine="quillrow", cache_bytes=later_cache_bytes) as later:
        assert_same_bits(later, *expected)


@pytest.mark.parametrize(
    "mtime_age, ctime_age, coarse, settled",
    [
        (10.0, 10.0, False, True),
        (2.1, 2.1, False, True),
        (1.9, 10.0, False, False),
        (10.0, 1.9, False, False),  # mtime put back after a rewrite a moment ago
        (10.0, 3.0, True, False),  # whole seconds: another two seconds for the clock's step
        (10.0, 4.1, True, True),
    ],
)
def test_settled_needs_both_times_out_of_the_clock_step(mtime_age, ctime_age, coarse, settled):
    now = 1_700_000_000 * 10**9
    ctime = now - round(ctime_age * 10**9)
    ctime = ctime // 10**9 * 10**9 if coarse else ctime + 1
    identity = FileIdentity(1, 2, 3, now - round(mtime_age * 10**9), ctime)
    assert identity.coarse is coarse
    assert identity.settled(now) is settled


def test_the_cache_bound_counts_the_memory_held(tmp_path, matrices):
    # Rows padded with blanks: the reader reserves room for five rows per row read.
    padded = b" ".join([b"2021 045 00 00 00 000 x", *[b" " * 40 + b"1.5"] * 11])
    bound = 3 * 1000 * 11 * 4
    opened = []
    for i in range(5):
        path = tmp_path / f"padded_{i}.sts"
        path.write_bytes(HEADER + (padded + b"\n") * 1000)
        opened.append(xr.open_dataset(path, engine="quillrow", cache_bytes=bound))
        held = matrices.held()
        # Each matrix owns memory of its own size: nothing beyond its rows is kept alive.
        assert all(m.base is None and m.flags.owndata for m in held)
        assert matrices.nbytes == sum(m.nbytes for m in held) <= bound
    assert len(matrices) == 3
    for ds in opened:
        assert_same_bits(ds, *quillrow.read_sts(ds.attrs["source"]))


@pytest.mark.parametrize(
    "kwargs, dtype",
    [
        ({}, "datetime64[ms]"),
        ({"decode_times": False}, "int64"),
        ({"decode_cf": False}, "int64"),
        ({"decode_times": "coder-ns"}, "datetime64[ns]"),
        ({"decode_timedelta": False, "mask_and_scale": False, "decode_coords": "all"}, "datetime64[ms]"),
        ({"concat_characters": False, "use_cftime": False, "decode_times": True}, "datetime64[ms]"),
    ],
)
def test_decoder_keywords(sts_file, kwargs, dtype):
    if kwargs.get("decode_times") == "coder-ns":
        kwargs = {"decode_times": xr.coders.CFDatetimeCoder(time_unit="ns")}
    timestamps, values = quillrow.read_sts(path := sts_file(ROW, ROW.replace(b" 250 ", b" 251 ")))
    with xr.open_dataset(path, engine="quillrow", **kwargs) as ds:
        time_ = ds["time"]
        assert time_.dtype == np.dtype(dtype)
        if dtype == "int64":
            assert time_.attrs == {
                "units": "milliseconds since 1970-01-01",
                "calendar": "proleptic_gregorian",
            }
            assert time_.to_numpy().tolist() == timestamps.view(np.int64).tolist()
        else:
            assert (time_.to_numpy() == timestamps).all()
        np.testing.assert_array_equal(ds["values"].to_numpy().view(np.uint32), values.view(np.uint32))


MEMORY_CHILD = """
import os, shutil, sys, time
import xarray as xr
from quillrow_xarray import cache as matrix_cache
files, cache = sys.argv[1:-1], int(sys.argv[-1])
# A clock ahead, as in the tests' own caches: the files just written are cached.
matrix_cache.MATRICES = matrix_cache.MatrixCache(clock=lambda: time.time_ns() + 10**10)

def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

xr.open_dataset(files[0], engine="quillrow", cache_bytes=0).close()
before = rss()
ds = xr.open_mfdataset(files, engine="quillrow", combine="nested", concat_dim="time", cache_bytes=cache)
print(rss() - before)
"""


def test_memory_held_after_open_is_bounded_by_the_cache(tmp_path):
    # 40 files of 50,000 rows: 88 MB of values, 16 MB of timestamps.
    first = tmp_path / "s_00.sts"
    write_sts(str(first), rows=50_000, seed=1, start="2021-001T00:00:00")
    files = [str(first)]
    for i in range(1, 40):
        files.append(shutil.copy(first, tmp_path / f"s_{i:02d}.sts"))
    cache = 10 * 2**20
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, *files, str(cache)], capture_output=True, text=True, timeout=120
    )
    assert out.returncode == 0, out.stderr
    grown = int(out.stdout)
    times = 40 * 50_000 * 8
    # The time coordinate is held a few times over (per file, combined, its index),
    # the matrices only as far as the cache holds them.
    assert grown < cache + 4 * times + 16 * 2**20, grown / 2**20
