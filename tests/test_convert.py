"""quillrow convert: an archive of STS files into Zarr, NetCDF or Parquet, over Dask."""

import json
import os
import re
import resource
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import quillrow

from gen_sts import iter_rows

REASON = "quillrow convert needs its extra (pip install 'quillrow[convert]')"
xr = pytest.importorskip("xarray", minversion="2025.1.2", reason=REASON)
distributed = pytest.importorskip("distributed", reason=REASON)
pytest.importorskip("tqdm", reason=REASON)

COMMAND = Path(sys.executable).parent / "quillrow"

# A made-up sensor whose header names its eighteen columns and their units.
COLUMNS = [("YEAR", "y"), ("DOY", "d"), ("HOUR", "h"), ("MINUTE", "min"), ("SECOND", "s"), ("MSEC", "ms")]
COLUMNS += [("FLAG", "")] + [
    (f"CH_{c}", u)
    for c, u in zip("ABCDEFGHIJK", ["V", "A", "K", "Pa", "Hz", "W", "m", "s", "kg", "mol", "cd"], strict=True)
]
NAMES = [name for name, _ in COLUMNS[7:]]
UNITS = [unit for _, unit in COLUMNS[7:]]


def named_header() -> str:
    lines = ["INSTRUMENT_ID = TEST-SENSOR", "OBJECT = FILE", "  OBJECT = RECORD"]
    for number, (name, unit) in enumerate(COLUMNS, start=1):
        lines += ["    OBJECT = COLUMN", f"      NAME = {name}", f"      COLUMN_NUMBER = {number}"]
        lines += [f'      UNIT = "{unit}"', "    END_OBJECT = COLUMN"]
    return "\n".join([*lines, "  END_OBJECT = RECORD", "END_OBJECT = FILE"])


# Values whose bits are easily lost on the way (to a fill value, a NaN made
# canonical, a flush to zero): -0, NaN of both signs, infinities, subnormals.
SPECIAL = ["-0.0", "nan", "-nan", "inf", "-inf", "1e-45", "-1e-45", "0", "-0", "3.4028235e38", "NaN"]


def write_day(path: Path, day: int, rows: int, header: str | None = None) -> str:
    """A file of generated rows; the middle one holds SPECIAL, the last one NaNs
    with the sign bit set (in the archive below, a chunk of its own)."""
    lines = list(iter_rows(rows, seed=day, start=(2030, day, 0)))
    middle = len(lines) // 2
    lines[middle] = " ".join(lines[middle].split()[:7] + SPECIAL) + "\n"
    lines[-1] = " ".join(lines[-1].split()[:7] + ["-nan"] * 11) + "\n"
    path.write_text((named_header() if header is None else header) + "\n" + "".join(lines))
    return str(path)


def expected(paths):
    reads = [quillrow.read_sts(p) for p in paths]
    return np.concatenate([t for t, _ in reads]), np.concatenate([v for _, v in reads])


def convert(*args: str, timeout: float = 120) -> subprocess.CompletedProcess:
    assert COMMAND.exists(), f"{COMMAND} is not installed: the distribution's console script is missing"
    return subprocess.run([str(COMMAND), "convert", *args], capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module")
def scheduler():
    """One small cluster for the module, reached with --scheduler."""
    with distributed.LocalCluster(
        n_workers=1,
        threads_per_worker=1,
        host="127.0.0.1",
        dashboard_address=None,
        scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
    ) as cluster:
        yield cluster.scheduler_address


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    """Three days, one of a single row, so that chunks of 500 rows span files,
    and the last chunk is the last row alone."""
    days = tmp_path_factory.mktemp("days")
    return [write_day(days / f"day_{d:03d}.sts", d, rows) for d, rows in ((11, 700), (12, 1), (13, 1300))]


# Each output format and the modules its output is read back with: a format
# of the converter's registry is tested by a row here (and its reading below).
FORMATS = {
    "zarr": ["zarr"],
    "netcdf": ["h5netcdf", "h5py"],
    "parquet": ["pyarrow"],
}


def needs(fmt):
    for module in FORMATS[fmt]:
        pytest.importorskip(module, reason=REASON)


def read_back(fmt, out):
    """Times as int64 ms, values, channel names, units and headers of an output."""
    if fmt == "parquet":
        pq = pytest.importorskip("pyarrow.parquet")
        table = pq.read_table(out)
        assert str(table.schema.field("time").type) == "timestamp[ms]"
        assert all(str(f.type) == "float" for f in list(table.schema)[1:])
        meta = {k.decode(): json.loads(v) for k, v in table.schema.metadata.items()}
        assert [table.num_rows] + [pq.ParquetFile(out).metadata.row_group(i).num_rows for i in range(2)] == [
            2001,
            500,
            500,
        ]
        values = np.stack([table.column(i).to_numpy() for i in range(1, 12)], axis=1)
        units = [f.metadata[b"units"].decode() for f in list(table.schema)[1:]]
        return (
            table.column("time").to_numpy().view(np.int64),
            values,
            table.column_names[1:],
            units,
            meta["quillrow.headers"],
            meta["quillrow.sources"],
        )
    opened = (
        xr.open_zarr(out, decode_times=False) if fmt == "zarr" else xr.open_dataset(out, decode_times=False)
    )
    with opened as raw:
        # Times stored exactly: int64 milliseconds.
        assert raw["time"].dtype == np.int64 and raw["time"].attrs["units"] == "milliseconds since 1970-01-01"
        assert "_FillValue" not in raw["values"].attrs and "_FillValue" not in raw["values"].encoding
        chunks = raw["values"].encoding.get("chunks") or raw["values"].encoding["chunksizes"]
        assert tuple(chunks) == (500, 11)
    coder = xr.coders.CFDatetimeCoder(time_unit="ms")
    opened = (
        xr.open_zarr(out, decode_times=coder) if fmt == "zarr" else xr.open_dataset(out, decode_times=coder)
    )
    with opened as ds:
        assert ds["time"].dtype == np.dtype("datetime64[ms]") and ds["values"].dims == ("time", "channel")
        return (
            ds["time"].to_numpy().view(np.int64),
            ds["values"].to_numpy(),
            [str(c) for c in ds["channel"].to_numpy()],
            [str(u) for u in ds["units"].to_numpy()],
            list(ds.attrs["headers"]),
            list(ds.attrs["sources"]),
        )


@pytest.mark.parametrize("fmt", FORMATS)
def test_round_trip_bit_for_bit(archive, scheduler, tmp_path, fmt):
    needs(fmt)
    out = tmp_path / f"archive.{fmt}"
    days = Path(archive[0]).parent
    # Out of order, and named twice (the directory holds the first day too).
    result = convert(
        str(days / "day_01[23].sts"),
        str(days),
        str(out),
        "--to",
        fmt,
        "--scheduler",
        scheduler,
        "--chunk-rows",
        "500",
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines() == [f"quillrow convert: 3 files, 2001 rows -> {out}"]
    assert sorted(p.name for p in tmp_path.iterdir()) == [out.name]

    times, values, names, units, headers, sources = read_back(fmt, str(out))
    want_times, want_values = expected(archive)
    np.testing.assert_array_equal(times, want_times.view(np.int64))
    np.testing.assert_array_equal(values.view(np.uint32), want_values.view(np.uint32))
    assert (names, units) == (NAMES, UNITS)
    assert headers == [named_header()] * 3
    assert [Path(s).name for s in sources] == ["day_011.sts", "day_012.sts", "day_013.sts"]


def test_bad_files_are_left_out_and_reported(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet", reason=REASON)
    first = write_day(tmp_path / "day_021.sts", 21, 300)
    bad = tmp_path / "day_022.sts"
    write_day(bad, 22, 300)
    text = bad.read_text().splitlines(keepends=True)
    bad_line = len(named_header().splitlines()) + 201
    text[bad_line - 1] = text[bad_line - 1].replace("2030 022", "2030 0x2", 1)
    bad.write_text("".join(text))
    last = write_day(tmp_path / "day_023.sts", 23, 300)
    missing = str(tmp_path / "day_024.sts")
    out = tmp_path / "out.parquet"

    # The local cluster of the command itself, one worker.
    result = convert(
        str(tmp_path), missing, str(out), "--to", "parquet", "--workers", "1", "--chunk-rows", "250"
    )
    assert result.returncode == 1
    assert result.stderr.splitlines() == [
        f"quillrow convert: Invalid file {bad} at line {bad_line}: bad doy",
        f"quillrow convert: {missing}: No such file or directory (os error 2)",
        f"quillrow convert: 2 files, 600 rows -> {out}",
        "quillrow convert: left out 2 of 4 files that could not be read:",
        f"  {bad}",
        f"  {missing}",
    ]
    table = pq.read_table(out)
    want_times, want_values = expected([first, last])
    np.testing.assert_array_equal(table.column("time").to_numpy().view(np.int64), want_times.view(np.int64))
    got = np.stack([table.column(name).to_numpy() for name in NAMES], axis=1)
    np.testing.assert_array_equal(got.view(np.uint32), want_values.view(np.uint32))
    assert json.loads(table.schema.metadata[b"quillrow.sources"]) == [first, last]


@pytest.mark.parametrize("case", ["existing output", "channels differ"])
def test_refusals_write_nothing(tmp_path, scheduler, case):
    pytest.importorskip("zarr", reason=REASON)
    good = write_day(tmp_path / "day_031.sts", 31, 50)
    out = tmp_path / "out.zarr"
    if case == "existing output":
        out.mkdir()
        sources = [good]
        message = f"quillrow convert: {out} exists: choose another name or pass --overwrite"
    else:
        # Channels numbered, not named: not to be mixed with named ones.
        numbered = write_day(tmp_path / "day_032.sts", 32, 50, header="OBJECT = FILE\nEND_OBJECT = FILE")
        sources = [good, numbered]
        message = f"quillrow convert: {numbered} names its channels not at all (0..10), unlike {good} ("
    result = convert(*sources, str(out), "--to", "zarr", "--scheduler", scheduler)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1].startswith(message), result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        [Path(s).name for s in sources] + (["out.zarr"] if case == "existing output" else [])
    )
    if case == "existing output":
        assert list(out.iterdir()) == []
        # Asked to, it is replaced; asked for, the bars show though this is no terminal.
        result = convert(
            *sources,
            str(out),
            "--to",
            "zarr",
            "--scheduler",
            scheduler,
            "--overwrite",
            "--progress",
            "always",
        )
        assert result.returncode == 0, result.stderr
        assert "check: 100%" in result.stderr and "1/1 [" in result.stderr
        assert (
            "write: 100%" in result.stderr and "50.0/50.0 [" in result.stderr and "files=1/1" in result.stderr
        )
        with xr.open_zarr(out) as ds:
            assert ds.sizes == {"time": 50, "channel": 11}
        assert sorted(p.name for p in tmp_path.iterdir()) == ["day_031.sts", "out.zarr"]


def processes_marked(mark: str, grace: float = 5) -> list[str]:
    """The command lines of the processes whose environment holds the mark (a
    command and the processes it started) that are still there after ``grace``
    seconds: multiprocessing's resource tracker ends a moment after the command."""
    deadline = time.monotonic() + grace
    while True:
        found = []
        for entry in Path("/proc").iterdir():
            try:
                if entry.name.isdigit() and mark.encode() in (entry / "environ").read_bytes():
                    found.append((entry / "cmdline").read_bytes().replace(b"\0", b" ").decode())
            except OSError:
                continue
        if not found or time.monotonic() > deadline:
            return found
        time.sleep(0.1)


# Where the signal comes: each phase of the command's life, the command paused
# there by its test hook; the phases in a held step (the cluster's start, the
# output's skeleton) take effect once the step is done.
@pytest.mark.parametrize(
    ("phase", "signum", "fmt"),
    [
        ("imports", signal.SIGINT, "zarr"),
        ("imports", signal.SIGTERM, "parquet"),
        ("cluster", signal.SIGINT, "netcdf"),
        ("check", signal.SIGTERM, "zarr"),
        ("skeleton", signal.SIGINT, "zarr"),
        ("write", signal.SIGTERM, "netcdf"),
        ("write", signal.SIGINT, "parquet"),
        ("rename", signal.SIGINT, "zarr"),
    ],
)
def test_signals_end_the_run_cleanly_at_any_moment(tmp_path, phase, signum, fmt):
    needs(fmt)
    days = tmp_path / "days"
    days.mkdir()
    for day in range(41, 44):
        write_day(days / f"day_{day:03d}.sts", day, 300)
    out = tmp_path / f"out.{fmt}"
    phases = tmp_path / "phases"
    mark = f"quillrow-test-{os.getpid()}-{phase}-{signum}"
    env = dict(os.environ, QUILLROW_CONVERT_PHASES=str(phases), QUILLROW_CONVERT_PAUSE=phase, TEST_MARK=mark)
    command = [
        str(COMMAND),
        "convert",
        str(days),
        str(out),
        "--to",
        fmt,
        "--workers",
        "1",
        "--chunk-rows",
        "200",
    ]
    # A session of its own: SIGINT goes to the whole group, as Ctrl-C does.
    process = subprocess.Popen(command, stderr=subprocess.PIPE, text=True, env=env, start_new_session=True)
    try:
        deadline = time.monotonic() + 90
        while not phases.exists() or phase not in phases.read_text().split():
            assert process.poll() is None, process.stderr.read() if process.stderr else ""
            assert time.monotonic() < deadline, f"the conversion never reached {phase}"
            time.sleep(0.02)
        if signum == signal.SIGINT:
            os.killpg(process.pid, signum)
        else:
            process.send_signal(signum)
        _, stderr = process.communicate(timeout=90)
    finally:
        process.kill()
    assert process.returncode == 128 + signum, stderr
    assert stderr.splitlines() == [f"quillrow convert: interrupted; nothing written to {out}"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["days", "phases"]
    assert processes_marked(mark) == []


def read_sources(fmt, out):
    """``sources``, ``source_rows`` and ``headers`` of an output, as read back."""
    if fmt == "parquet":
        meta = pytest.importorskip("pyarrow.parquet").read_schema(out).metadata
        return [json.loads(meta[f"quillrow.{key}".encode()]) for key in ("sources", "source_rows", "headers")]
    if fmt == "zarr":
        with xr.open_zarr(out) as ds:
            return [ds.attrs[key] for key in ("sources", "source_rows", "headers")]
    # NetCDF reads an attribute of one element back as that element: the lists
    # are the coordinates along ``source``.
    with xr.open_dataset(out) as ds:
        return [ds[key].to_numpy().tolist() for key in ("sources", "source_rows", "headers")]


@pytest.mark.parametrize("fmt", FORMATS)
def test_files_a_format_cannot_hold_are_left_out(tmp_path, scheduler, fmt):
    needs(fmt)
    days = tmp_path / "days"
    days.mkdir()
    good = write_day(days / "day_061.sts", 61, 40)
    # A name that is not UTF-8, and a header with a NUL byte, which NetCDF's text cannot hold.
    odd = os.fsdecode(bytes(days) + b"/day_062_\xff.sts")
    write_day(Path(odd), 62, 40)
    nul = write_day(days / "day_063.sts", 63, 40, header="NOTE = a\0b\n" + named_header())
    out = tmp_path / f"out.{fmt}"
    result = convert(str(days), str(out), "--to", fmt, "--scheduler", scheduler)
    assert result.returncode == 1
    shown = f"{days}/day_062_\\xff.sts"
    refused = [f"quillrow convert: {nul}: its header holds a NUL byte, which NetCDF text cannot hold"]
    kept = [good] if fmt == "netcdf" else [good, nul]
    left_out = [shown, nul] if fmt == "netcdf" else [shown]
    assert result.stderr.splitlines() == [
        f"quillrow convert: {shown}: the file name is not UTF-8 text",
        *(refused if fmt == "netcdf" else []),
        f"quillrow convert: {len(kept)} files, {40 * len(kept)} rows -> {out}",
        f"quillrow convert: left out {len(left_out)} of 3 files that could not be read:",
        *[f"  {path}" for path in left_out],
    ]
    sources, rows, headers = read_sources(fmt, str(out))
    # Lists, for one file too.
    assert (sources, rows) == (kept, [40] * len(kept))
    assert headers[0] == named_header() and isinstance(headers, list)


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_failing_write_leaves_nothing(tmp_path, fmt):
    needs(fmt)
    # Every file the command and its workers write may grow to 16 KiB, no
    # more (RLIMIT_FSIZE): what a full disk or a quota does to a writer,
    # with the error EFBIG.  The sources, already there, are only read.
    days = tmp_path / "days"
    days.mkdir()
    for day in range(71, 74):
        write_day(days / f"day_{day:03d}.sts", day, 3000)
    out = tmp_path / f"out.{fmt}"
    limit = 16 << 10

    def limited():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    command = [str(COMMAND), "convert", str(days), str(out), "--to", fmt, "--workers", "1"]
    result = subprocess.run(command, capture_output=True, text=True, timeout=120, preexec_fn=limited)
    assert result.returncode == 1, result.stderr
    assert result.stderr.splitlines() == [
        f"quillrow convert: conversion to {out} failed: File too large; nothing written"
    ]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["days"]


# (rows per file, chunk rows) -> each chunk's (file, first row, end row).
PLANS = [
    (([5], 5), [[(0, 0, 5)]]),  # one file, one whole chunk
    (([5], 2), [[(0, 0, 2)], [(0, 2, 4)], [(0, 4, 5)]]),  # the last chunk shorter
    (([2, 3], 4), [[(0, 0, 2), (1, 0, 2)], [(1, 2, 3)]]),  # a chunk spans two files
    (([1, 1, 1], 2), [[(0, 0, 1), (1, 0, 1)], [(2, 0, 1)]]),  # one-row files
    (([3, 0, 2], 5), [[(0, 0, 3), (2, 0, 2)]]),  # a file of no rows takes no part
    (([4], 1), [[(0, i, i + 1)] for i in range(4)]),  # a chunk per row
]


@pytest.mark.parametrize(("args", "plan"), PLANS)
def test_plan_chunks(args, plan):
    from quillrow_cli.convert.schedule import plan_chunks

    assert plan_chunks(*args) == plan


# SRC arguments (relative to a directory holding b/day_2.sts, b/day_1.STS,
# a/day_3.sts, a/notes.txt, empty/) -> the files, or the refusal.
EXPANSIONS = [
    (["b"], ["b/day_1.STS", "b/day_2.sts"]),  # a directory: its .sts files in any case, by name
    (["a", "b"], ["b/day_1.STS", "b/day_2.sts", "a/day_3.sts"]),  # ordered by file name, not by SRC
    (["*/day_[13]*"], ["b/day_1.STS", "a/day_3.sts"]),  # a glob
    (["b/day_2.sts", "b", "./b/day_2.sts"], ["b/day_1.STS", "b/day_2.sts"]),  # each file once
    (["a/notes.txt"], ["a/notes.txt"]),  # a file named is taken, whatever its name
    (["c/day_9.sts"], ["c/day_9.sts"]),  # kept: reported as a bad file by the reader
    (["empty"], "empty: no .sts files in this directory"),
    (["*/none_*"], "*/none_*: no file matches"),
]


@pytest.mark.parametrize(("sources", "want"), EXPANSIONS)
def test_expand_sources(tmp_path, monkeypatch, sources, want):
    from quillrow_cli.convert.base import ConvertError
    from quillrow_cli.convert.sources import expand_sources

    for name in ("b/day_2.sts", "b/day_1.STS", "a/day_3.sts", "a/notes.txt"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text("")
    (tmp_path / "empty").mkdir()
    monkeypatch.chdir(tmp_path)
    if isinstance(want, str):
        with pytest.raises(ConvertError, match=f"^{re.escape(want)}$"):
            expand_sources(sources)
    else:
        assert [os.path.normpath(p) for p in expand_sources(sources)] == want


def changed_during_conversion(tmp_path):
    from quillrow_cli.convert.work import read_values, scan_file

    path = write_day(tmp_path / "day_081.sts", 81, 30)
    scan = scan_file(path)
    # Rewritten in place with the same size, times and modification time.
    before = os.stat(path)
    text = Path(path).read_text()
    Path(path).write_text(text.replace("3.4028235e38", "3.4028234e38"))
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    assert os.stat(path).st_size == before.st_size
    read_values(path, scan.version())


def kept_partial(tmp_path):
    from quillrow_cli.convert import placement

    out = tmp_path / "out.zarr"
    partial = placement.reserve(str(out), directory=True)
    out.mkdir()  # appears during the run
    try:
        placement.put_in_place(partial, str(out), overwrite=False)
    finally:
        assert sorted(p.name for p in tmp_path.iterdir()) == [
            "out.zarr",
            f"out.zarr.complete-{partial.token}",
        ]


def out_of_order(tmp_path):
    from quillrow_cli.convert.archive import make_archive, out_of_order
    from quillrow_cli.convert.work import scan_file

    late = scan_file(write_day(tmp_path / "day_a.sts", 92, 3))
    early = scan_file(write_day(tmp_path / "day_b.sts", 91, 3))
    raise ConvertErrorText("; ".join(out_of_order(make_archive([late, early]))))


def parquet_name_clash(tmp_path):
    pytest.importorskip("pyarrow", reason=REASON)
    from quillrow_cli.convert.archive import make_archive
    from quillrow_cli.convert.sinks.parquet import ParquetSink
    from quillrow_cli.convert.work import scan_file

    header = named_header().replace("NAME = CH_C", "NAME = time")
    archive = make_archive([scan_file(write_day(tmp_path / "day_101.sts", 101, 3, header=header))])
    ParquetSink(str(tmp_path / "out.parquet"), archive, 10)


def missing_parent_directory(tmp_path):
    import argparse

    from quillrow_cli.common import Progress
    from quillrow_cli.convert.command import convert

    args = argparse.Namespace(out=str(tmp_path / "no" / "out.zarr"), overwrite=False, sources=[])
    convert(args, Progress("never"))


class ConvertErrorText(Exception):
    """A result given as a message, for the table below."""


# Each branch and the message it ends with.
BRANCHES = [
    (changed_during_conversion, r"^.*day_081\.sts changed while it was being converted$"),
    (
        kept_partial,
        r"^.*out\.zarr appeared during the conversion; the result is left as .*out\.zarr\.complete-",
    ),
    (
        out_of_order,
        r"^warning: .*day_b\.sts starts at 2030-04-01T00:00:00\.\d+, not after the end of .*day_a",
    ),
    (
        parquet_name_clash,
        r"^channel names \['CH_A', 'CH_B', 'time', .* would not make distinct Parquet columns",
    ),
    (missing_parent_directory, r"^.*/no: no such directory for the output$"),
]


@pytest.mark.parametrize(("branch", "message"), BRANCHES, ids=[b.__name__ for b, _ in BRANCHES])
def test_error_branches(tmp_path, branch, message):
    from quillrow_cli.convert.base import ConvertError

    with pytest.raises((ConvertError, ConvertErrorText), match=message):
        branch(tmp_path)


def test_leftovers_of_runs_that_have_gone_are_removed(tmp_path):
    from quillrow_cli.convert import placement

    out = str(tmp_path / "out.nc")
    live = placement.reserve(out, directory=False)
    gone = placement.reserve(out, directory=True)
    gone.release()  # its run has ended without removing it (SIGKILL)
    (tmp_path / "out.nc.partial-4242").write_text("")  # made otherwise: named only
    warnings = placement.sweep(out)
    assert warnings == [
        f"warning: {tmp_path}/out.nc.partial-4242 may be left by an earlier conversion; "
        "remove it if none is running"
    ]
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["out.nc.partial-4242", f"out.nc.partial-{live.token}"]
    )
    placement.discard(live)
