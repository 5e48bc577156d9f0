"""quillrow convert: an archive of STS files into one Zarr store, NetCDF file or Parquet file.

    quillrow convert SRC... OUT --to zarr|netcdf|parquet
                     [--workers N | --scheduler ADDRESS] [--chunk-rows N]
                     [--overwrite] [--progress auto|always|never]

SRC is a file, a directory (its ``*.sts`` files) or a glob pattern; the files
are taken in the order of their names (daily files are named by date), a
file named twice only once.  Their rows follow one another in OUT in that
order, as ``read_sts`` gives them.

The files are read on a Dask cluster: a local one of N worker processes
(``--workers``, default the number of CPUs this process may run on), or the
one behind an existing scheduler (``--scheduler tcp://HOST:PORT``), whose
workers must see the source paths and OUT under the same names and have
quillrow[convert] installed.  Each file is read twice, both times on a
worker: once to check it and take its times and header, once to write its
values; a file that changes in between fails the conversion.  The workers
write a Zarr store's chunks themselves; the chunks of a NetCDF or Parquet
file, which have one writer, travel to this process to be written, a few at
a time.

OUT, chunked along time by ``--chunk-rows`` rows (default 86400, a day of
one-second rows), holds

- Zarr (zarr 3) and NetCDF (HDF5, through h5netcdf): the variable ``values``
  (float32, dims ``(time, channel)``), the coordinates ``time``
  (datetime64[ms], stored as int64 milliseconds since 1970-01-01) and
  ``channel`` (the channel names when the headers name the columns, else
  0..10), ``units`` along ``channel`` when they are named, and the
  attributes ``sources`` (the files, in order), ``source_rows`` (their row
  counts) and ``headers`` (each file's header text);
  Zarr chunks are stored channel by channel, shuffled and compressed with
  Zstandard (Blosc); NetCDF chunks shuffled and deflated (level 1);
- Parquet: one row per time, a ``time`` column (timestamp[ms]) and one
  float32 column per channel, named after it ("0".."10" when unnamed) with
  its unit as the field's ``units`` metadata; the schema metadata holds
  ``quillrow.sources``, ``quillrow.source_rows`` and ``quillrow.headers`` as
  JSON lists.  One row group per chunk; the values stored with their bytes
  split by significance (BYTE_STREAM_SPLIT) and Zstandard.

Every value keeps its bits (NaN payloads and -0.0 included): no fill value
and no scaling.

Read back, ``xr.open_zarr(OUT)`` and ``xr.open_dataset(OUT)`` give the times
as datetime64[ns]; ``decode_times=xr.coders.CFDatetimeCoder(time_unit="ms")``
keeps them in milliseconds as read_sts gives them.  ``pyarrow.parquet.read_table(OUT)``
reads the Parquet file (``.to_pandas()`` for a DataFrame).

A file that cannot be read gets one line on standard error (the reader's
message, which names the file) and is left out; the others are converted,
a summary names the files left out, and the exit status is 1.  Files that
name their channels differently are not mixed: the conversion is refused,
naming the first file that differs.

OUT is written under a temporary name beside it (OUT.partial-PID) and
renamed only when complete, so an interrupted or failed conversion never
leaves an OUT that looks whole; the temporary is removed on failure, Ctrl-C
and SIGTERM (not on SIGKILL: a leftover OUT.partial-* is incomplete).  An
existing OUT is replaced only with ``--overwrite``, and only once the new one
is complete.

A progress bar on standard error (tqdm) counts the files checked, then the
rows written and the files done, with the rates; by default only when
standard error is a terminal.  Needs the ``convert`` extra:
``pip install "quillrow[convert]"``.
"""

from __future__ import annotations

import argparse
import bisect
import glob
import importlib
import json
import logging
import os
import shutil
import signal
import sys
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from types import FrameType
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

import quillrow
from quillrow_cli import check_regular, error_line

PROG = "quillrow convert"
FORMATS = ("zarr", "netcdf", "parquet")
# The packages each format is written with.
WRITERS = {"zarr": ("zarr",), "netcdf": ("h5netcdf", "h5py"), "parquet": ("pyarrow",)}
CHANNELS = 11
DEFAULT_CHUNK_ROWS = 86_400
TIME_UNITS = "milliseconds since 1970-01-01"

Matrix = npt.NDArray[np.float32]
Times = npt.NDArray[np.datetime64]


# Clients, futures and the modules that carry no type information.
Client = Any
Future = Any


def untyped(name: str) -> Any:
    """A dependency that has no type information, imported when first needed."""
    return importlib.import_module(name)


class ConvertError(Exception):
    """A conversion that cannot go on; its text is the message to print."""


class KeptPartial(ConvertError):
    """A finished output that could not be put in place, and is left where it is."""


# --- Sources -----------------------------------------------------------------


def is_pattern(text: str) -> bool:
    return any(c in text for c in "*?[")


def expand_sources(sources: Sequence[str]) -> list[str]:
    """Files, directories' ``*.sts`` files and glob matches, ordered by file name
    (then by the whole path), each once.  A path that does not exist is kept: it
    is reported as a bad file with the reader's message."""
    found: list[str] = []
    for source in sources:
        if os.path.isdir(source):
            names = [n for n in os.listdir(source) if n.lower().endswith(".sts")]
            if not names:
                raise ConvertError(f"{source}: no .sts files in this directory")
            found += [os.path.join(source, n) for n in names]
        elif is_pattern(source) and not os.path.exists(source):
            matches = [m for m in glob.glob(source) if not os.path.isdir(m)]
            if not matches:
                raise ConvertError(f"{source}: no file matches")
            found += matches
        else:
            found.append(source)
    unique: dict[str, str] = {}
    for path in found:
        unique.setdefault(os.path.abspath(path), path)
    return sorted(unique.values(), key=lambda p: (os.path.basename(p), p))


# --- Work done on the workers --------------------------------------------------


@dataclass(frozen=True)
class Stamp:
    """What identifies one version of a file: a rewrite changes at least one."""

    size: int
    mtime_ns: int
    inode: int

    @staticmethod
    def of(path: str) -> Stamp:
        st = os.stat(path)
        return Stamp(st.st_size, st.st_mtime_ns, st.st_ino)


@dataclass(frozen=True)
class Scan:
    """One source file as checked on a worker: its times and header, or its fault."""

    path: str
    times: Times | None = None
    header: str = ""
    channels: tuple[tuple[str, ...], tuple[str, ...]] | None = None
    stamp: Stamp | None = None
    error: str | None = None

    @property
    def rows(self) -> int:
        return 0 if self.times is None else len(self.times)

    @property
    def span(self) -> tuple[Any, Any]:
        return (None, None) if not self.rows or self.times is None else (self.times[0], self.times[-1])


def scan_file(path: str) -> Scan:
    """Reads a file whole, keeping its times, header and channel names."""
    from quillrow_xarray import channel_names, read_header

    try:
        check_regular(path)
        times, _ = quillrow.read_sts(path)
        # After the read, so that a file that cannot be opened is reported in the reader's words.
        stamp = Stamp.of(path)
        header = read_header(path)
    except (OSError, ValueError, UnicodeError) as error:
        return Scan(path, error=error_line(path, error))
    named = channel_names(header)
    channels = None if named is None else (tuple(named[0]), tuple(named[1]))
    return Scan(path, times, header, channels, stamp)


def read_values(path: str, stamp: Stamp, rows: int, span: tuple[Any, Any]) -> Matrix:
    """The value matrix of a file checked before, refused if it has changed since:
    another size, time of change or inode, row count, or first or last time."""
    try:
        times, values = quillrow.read_sts(path)
        now = Stamp.of(path)
    except (OSError, ValueError, UnicodeError) as error:
        raise ConvertError(f"{error_line(path, error)} (it was read before)") from error
    if now != stamp or len(times) != rows or (times[0], times[-1]) != span:
        raise ConvertError(f"{path} changed while it was being converted")
    return values


Piece = tuple[Any, int, int]  # a file's matrix (a Future on the client's side), first row, end row


def assemble(pieces: Sequence[tuple[Matrix, int, int]]) -> Matrix:
    """The rows of one chunk, from the files it spans."""
    parts = [matrix[lo:hi] for matrix, lo, hi in pieces]
    return parts[0].copy() if len(parts) == 1 else np.concatenate(parts)


def write_zarr_chunk(store: str, start: int, pieces: Sequence[tuple[Matrix, int, int]]) -> int:
    """Writes one chunk of ``values`` into the Zarr store, on the worker; returns its row count."""
    import zarr

    block = assemble(pieces)
    # A chunk equal to the fill value is written all the same: zarr would skip
    # one all NaN (the array's fill), which then reads back as the fill's NaN,
    # whatever the payloads and signs it held.
    with zarr.config.set({"array.write_empty_chunks": True}):
        array = zarr.open_array(store, path="values", mode="r+")
        array[start : start + len(block)] = block
    return len(block)


def chunk_block(start: int, pieces: Sequence[tuple[Matrix, int, int]]) -> Matrix:
    del start
    return assemble(pieces)


# --- The archive as a whole ----------------------------------------------------


@dataclass(frozen=True)
class Archive:
    """The good files, in order, and what the output says about them."""

    files: list[Scan]
    channel: list[str] | list[int]
    units: list[str] | None

    @property
    def rows(self) -> int:
        return sum(f.rows for f in self.files)

    def times(self) -> Times:
        return np.concatenate([f.times for f in self.files if f.times is not None])

    def attrs(self) -> dict[str, list[str] | list[int]]:
        return {
            "sources": [f.path for f in self.files],
            "source_rows": [f.rows for f in self.files],
            "headers": [f.header for f in self.files],
        }


def make_archive(good: list[Scan]) -> Archive:
    """Refuses files whose headers name their channels differently from the first's."""
    first = good[0]
    for scan in good[1:]:
        if scan.channels != first.channels:
            raise ConvertError(
                f"{scan.path} names its channels {describe_channels(scan)}, unlike "
                f"{first.path} ({describe_channels(first)}): convert them separately"
            )
    if first.channels is None:
        return Archive(good, list(range(CHANNELS)), None)
    names, units = first.channels
    return Archive(good, list(names), list(units))


def describe_channels(scan: Scan) -> str:
    if scan.channels is None:
        return "not at all (0..10)"
    names, units = scan.channels
    return ", ".join(f"{n} [{u}]" for n, u in zip(names, units, strict=True))


def plan_chunks(rows: Sequence[int], chunk_rows: int) -> list[list[tuple[int, int, int]]]:
    """For each chunk of ``chunk_rows`` rows (the last one shorter), the
    (file index, first row, end row) of the files it spans."""
    chunks: list[list[tuple[int, int, int]]] = []
    current: list[tuple[int, int, int]] = []
    room = chunk_rows
    for index, count in enumerate(rows):
        lo = 0
        while lo < count:
            take = min(room, count - lo)
            current.append((index, lo, lo + take))
            lo += take
            room -= take
            if room == 0:
                chunks.append(current)
                current, room = [], chunk_rows
    if current:
        chunks.append(current)
    return chunks


# --- Writers -------------------------------------------------------------------


class Sink(Protocol):
    """One output format: made before the values, fed chunks in order, closed at the end."""

    on_workers: bool
    path: str

    def write(self, start: int, result: Any) -> None: ...

    def close(self) -> None: ...


class ZarrSink:
    """A Zarr store whose ``values`` chunks the workers write themselves."""

    on_workers = True

    def __init__(self, path: str, archive: Archive, chunk_rows: int) -> None:
        self.path = path
        import dask.array as da
        import xarray as xr

        rows = archive.rows
        chunks = (min(chunk_rows, rows), CHANNELS)
        # Lazy placeholder: only the metadata and the coordinates are written
        # here; the values come chunk by chunk from the workers.
        values = da.empty((rows, CHANNELS), chunks=chunks, dtype=np.float32)
        dataset = xr.Dataset(
            {"values": (("time", "channel"), values)},
            coords=coordinates(archive),
            attrs=archive.attrs(),
        )
        with warnings.catch_warnings():
            # Consolidated metadata (one read opens the store) is zarr-python's
            # extension to zarr 3, which it warns about; xarray reads it.
            warnings.filterwarnings("ignore", "Consolidated metadata", UserWarning)
            self.write_template(dataset, path, chunks)

    @staticmethod
    def write_template(dataset: Any, path: str, chunks: tuple[int, int]) -> None:
        dataset.to_zarr(
            path,
            mode="w-",
            compute=False,
            zarr_format=3,
            consolidated=True,
            encoding={
                "values": {
                    "_FillValue": None,
                    "chunks": chunks,
                    "filters": [by_channel()],
                    "compressors": [shuffled()],
                },
                "time": {
                    "units": TIME_UNITS,
                    "calendar": "proleptic_gregorian",
                    "dtype": "int64",
                    "chunks": chunks[:1],
                },
            },
        )

    def write(self, start: int, result: Any) -> None:
        del start, result

    def close(self) -> None:
        pass


def by_channel() -> Any:
    """Stores a chunk channel by channel: each channel's values lie together."""
    from zarr.codecs import TransposeCodec

    return TransposeCodec(order=(1, 0))


def shuffled() -> Any:
    """Zstandard over the values' bytes grouped by significance (Blosc's shuffle).
    With the chunk stored by channel, a quarter of the size of zarr's default
    (Zstandard alone, row by row) on generated sample days."""
    from zarr.codecs import BloscCodec

    return BloscCodec(cname="zstd", clevel=3, shuffle="shuffle", typesize=4)


def coordinates(archive: Archive) -> dict[str, Any]:
    # Names and units as variable-length strings, which zarr 3 describes.
    coords: dict[str, Any] = {"time": ("time", archive.times())}
    if archive.units is None:
        coords["channel"] = ("channel", np.array(archive.channel, dtype=np.int64))
    else:
        coords["channel"] = ("channel", np.array(archive.channel, dtype=object))
        coords["units"] = ("channel", np.array(archive.units, dtype=object))
    return coords


class NetcdfSink:
    """A NetCDF-4 file written here, as xarray would lay it out."""

    on_workers = False

    def __init__(self, path: str, archive: Archive, chunk_rows: int) -> None:
        self.path = path
        h5netcdf = untyped("h5netcdf")
        h5py = untyped("h5py")

        rows = archive.rows
        self.file = h5netcdf.File(path, "w")
        try:
            f = self.file
            f.dimensions = {"time": rows, "channel": CHANNELS}
            time = f.create_variable("time", ("time",), np.int64, chunks=(min(chunk_rows, rows),))
            time.attrs["units"] = TIME_UNITS
            time.attrs["calendar"] = "proleptic_gregorian"
            time[:] = archive.times().view(np.int64)
            if archive.units is None:
                f.create_variable("channel", ("channel",), data=np.array(archive.channel, dtype=np.int64))
            else:
                text = h5py.string_dtype()
                f.create_variable("channel", ("channel",), dtype=text, data=np.array(archive.channel, object))
                f.create_variable("units", ("channel",), dtype=text, data=np.array(archive.units, object))
            self.values = f.create_variable(
                "values",
                ("time", "channel"),
                np.float32,
                chunks=(min(chunk_rows, rows), CHANNELS),
                compression="gzip",
                compression_opts=1,
                shuffle=True,
            )
            if archive.units is not None:
                self.values.attrs["coordinates"] = "units"
            for key, value in archive.attrs().items():
                f.attrs[key] = value
        except BaseException:
            self.file.close()
            raise

    def write(self, start: int, result: Any) -> None:
        self.values[start : start + len(result)] = result

    def close(self) -> None:
        self.file.close()


class ParquetSink:
    """One wide Parquet file written here: a row group per chunk."""

    on_workers = False

    def __init__(self, path: str, archive: Archive, chunk_rows: int) -> None:
        self.path = path
        pa = untyped("pyarrow")
        pq = untyped("pyarrow.parquet")

        del chunk_rows
        names = [str(c) for c in archive.channel]
        if "time" in names or len(set(names)) != len(names):
            raise ConvertError(f"channel names {names} would not make distinct Parquet columns beside 'time'")
        units: Sequence[str | None] = archive.units or [None] * CHANNELS
        fields = [pa.field("time", pa.timestamp("ms"), nullable=False)] + [
            pa.field(name, pa.float32(), nullable=False, metadata=None if unit is None else {"units": unit})
            for name, unit in zip(names, units, strict=True)
        ]
        metadata = {f"quillrow.{key}": json.dumps(value) for key, value in archive.attrs().items()}
        self.schema = pa.schema(fields, metadata=metadata)
        self.times = archive.times()
        self.writer = pq.ParquetWriter(
            path,
            self.schema,
            compression="zstd",
            # Measured values seldom repeat: no dictionaries; their bytes split
            # by significance compress better.
            use_dictionary=False,
            column_encoding=dict.fromkeys(names, "BYTE_STREAM_SPLIT"),
        )

    def write(self, start: int, result: Any) -> None:
        pa = untyped("pyarrow")

        block: Matrix = result
        columns = [pa.array(self.times[start : start + len(block)], type=pa.timestamp("ms"))]
        columns += [pa.array(block[:, j]) for j in range(CHANNELS)]
        self.writer.write_table(pa.Table.from_arrays(columns, schema=self.schema), row_group_size=len(block))

    def close(self) -> None:
        self.writer.close()


SINKS: dict[str, Callable[[str, Archive, int], Sink]] = {
    "zarr": ZarrSink,
    "netcdf": NetcdfSink,
    "parquet": ParquetSink,
}


# --- The run -------------------------------------------------------------------


class Progress:
    """A tqdm bar on standard error when wanted, and printing that does not tear it."""

    def __init__(self, mode: str) -> None:
        self.enabled = mode == "always" or (mode == "auto" and sys.stderr.isatty())
        self.bar: Any = None

    def start(self, **options: Any) -> None:
        self.stop()
        if self.enabled:
            from tqdm import tqdm

            self.bar = tqdm(file=sys.stderr, dynamic_ncols=True, **options)

    def update(self, count: int, **postfix: Any) -> None:
        if self.bar is not None:
            if postfix:
                self.bar.set_postfix(postfix, refresh=False)
            self.bar.update(count)

    def stop(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None

    def say(self, text: str) -> None:
        if self.bar is not None:
            self.bar.write(text, file=sys.stderr)
        else:
            print(text, file=sys.stderr)


@contextmanager
def cluster(workers: int | None, scheduler: str | None) -> Iterator[Client]:
    """A client of the scheduler given, or of a local cluster started for the run."""
    distributed = untyped("distributed")
    Client, LocalCluster = distributed.Client, distributed.LocalCluster

    if scheduler is not None:
        with Client(scheduler) as client:
            yield client
        return
    # Ctrl-C reaches every process of the terminal's group: the workers start
    # with it ignored (and keep it so), and this process alone handles it,
    # closing the cluster, instead of each worker printing its traceback.
    handler = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        local = LocalCluster(
            n_workers=workers or default_workers(),
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            # No dashboard; the scheduler's small HTTP server (health checks)
            # takes any free port rather than warning that 8787 is taken.
            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
            silence_logs=logging.ERROR,
        )
    finally:
        signal.signal(signal.SIGINT, handler)
    with local, Client(local) as client:
        yield client


def default_workers() -> int:
    return len(os.sched_getaffinity(0))


def scan_all(client: Client, paths: list[str], progress: Progress) -> list[Scan]:
    """Checks every file on the workers; the faulty ones are reported in file order."""
    as_completed = untyped("distributed").as_completed

    progress.start(total=len(paths), unit="file", desc="check")
    futures = client.map(scan_file, paths, pure=False)
    order = {future.key: index for index, future in enumerate(futures)}
    # Each result leaves the workers once it is here: only as_completed holds the futures.
    arriving = as_completed(futures)
    del futures
    scans: list[Scan | None] = [None] * len(paths)
    reported = 0
    for future in arriving:
        scans[order[future.key]] = future.result()
        progress.update(1)
        while reported < len(scans) and (scan := scans[reported]) is not None:
            if scan.error is not None:
                progress.say(f"{PROG}: {scan.error}")
            reported += 1
    progress.stop()
    return [s for s in scans if s is not None]


def write_all(client: Client, archive: Archive, sink: Sink, chunk_rows: int, progress: Progress) -> None:
    """Reads the values on the workers and writes them chunk by chunk, a few
    chunks in flight, each file's matrix dropped once its last chunk is done."""
    wait = untyped("distributed").wait

    files = archive.files
    chunks = plan_chunks([f.rows for f in files], chunk_rows)
    starts = [i * chunk_rows for i in range(len(chunks))]
    uses = [0] * len(files)
    for chunk in chunks:
        for index, _, _ in chunk:
            uses[index] += 1
    ends = list(np.cumsum([f.rows for f in files]))
    window = 2 * max(1, len(client.scheduler_info().get("workers", {})))

    matrices: dict[int, Future] = {}
    in_flight: dict[Future, int] = {}
    finished: dict[int, Any] = {}
    next_chunk = next_write = rows_done = 0
    progress.start(total=archive.rows, unit="row", unit_scale=True, desc="write")
    while next_write < len(chunks):
        while next_chunk < len(chunks) and len(in_flight) < window:
            pieces: list[Piece] = []
            for index, lo, hi in chunks[next_chunk]:
                if index not in matrices:
                    scan = files[index]
                    matrices[index] = client.submit(
                        read_values, scan.path, scan.stamp, scan.rows, scan.span, pure=False
                    )
                pieces.append((matrices[index], lo, hi))
            if sink.on_workers:
                future = client.submit(write_zarr_chunk, sink.path, starts[next_chunk], pieces, pure=False)
            else:
                future = client.submit(chunk_block, starts[next_chunk], pieces, pure=False)
            in_flight[future] = next_chunk
            next_chunk += 1
        done, _ = wait(list(in_flight), return_when="FIRST_COMPLETED")
        for future in done:
            number = in_flight.pop(future)
            finished[number] = future.result()
            for index, _, _ in chunks[number]:
                uses[index] -= 1
                if uses[index] == 0:
                    del matrices[index]
        while next_write in finished:
            result = finished.pop(next_write)
            sink.write(starts[next_write], result)
            rows = sum(hi - lo for _, lo, hi in chunks[next_write])
            rows_done += rows
            progress.update(rows, files=f"{bisect.bisect_right(ends, rows_done)}/{len(files)}")
            next_write += 1
    progress.stop()


def partial_name(out: str) -> str:
    return f"{out}.partial-{os.getpid()}"


def remove(path: str) -> None:
    """Removes a file or a directory tree.  A worker of a cluster that outlives
    this run may still be finishing a chunk into the tree: it is removed again
    until it stays gone."""
    for _ in range(10):
        if not os.path.lexists(path):
            return
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
        else:
            os.unlink(path)
        time.sleep(0.1)


def put_in_place(partial: str, out: str, overwrite: bool) -> None:
    """Renames the finished output to OUT; an old OUT goes only once the new one is there."""
    if not os.path.lexists(out):
        os.rename(partial, out)
        return
    if not overwrite:  # it appeared during the run
        raise KeptPartial(f"{out} appeared during the conversion; the result is left as {partial}")
    old = f"{out}.old-{os.getpid()}"
    os.rename(out, old)
    os.rename(partial, out)
    remove(old)


def interrupt_on_sigterm(signum: int, frame: FrameType | None) -> None:
    del frame
    raise KeyboardInterrupt(f"signal {signum}")


@contextmanager
def interrupts_held() -> Iterator[None]:
    """Holds Ctrl-C and SIGTERM while the block runs, and raises KeyboardInterrupt
    after it when one came.  For making the output's skeleton: zarr writes it from
    an event loop in a thread of its own while this one waits, and an interrupt
    taken during that wait would leave those writes running, into the temporary
    output being removed (which could then stay), and their tasks destroyed
    pending at exit, each printing a message.  The skeleton is the metadata and
    the time coordinate: the interrupt waits seconds at most."""
    caught: list[int] = []

    def hold(signum: int, frame: FrameType | None) -> None:
        del frame
        caught.append(signum)

    previous = {signum: signal.signal(signum, hold) for signum in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    if caught:
        raise KeyboardInterrupt(f"signal {caught[0]}")


def convert(args: argparse.Namespace, progress: Progress) -> int:
    # "days.zarr/" names days.zarr: the temporary goes beside it, not inside.
    out: str = os.path.normpath(args.out)
    if os.path.lexists(out) and not args.overwrite:
        raise ConvertError(f"{out} exists: choose another name or pass --overwrite")
    parent = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(parent):
        raise ConvertError(f"{parent}: no such directory for the output")
    paths = expand_sources(args.sources)

    partial = os.path.abspath(partial_name(out))
    try:
        with cluster(args.workers, args.scheduler) as client:
            scans = scan_all(client, paths, progress)
            good = [s for s in scans if s.error is None]
            skipped = [s for s in scans if s.error is not None]
            if not good:
                raise ConvertError("no file could be read: nothing written")
            archive = make_archive(good)
            if archive.rows == 0:
                raise ConvertError("the files hold no rows: nothing written")
            warn_out_of_order(archive, progress)
            with interrupts_held():
                sink = SINKS[args.to](partial, archive, args.chunk_rows)
            try:
                write_all(client, archive, sink, args.chunk_rows, progress)
            finally:
                sink.close()
        put_in_place(partial, out, args.overwrite)
    except KeptPartial:
        raise
    except BaseException:
        progress.stop()
        remove(partial)
        raise
    print(f"{PROG}: {len(good)} files, {archive.rows} rows -> {out}", file=sys.stderr)
    if skipped:
        print(
            f"{PROG}: left out {len(skipped)} of {len(scans)} files that could not be read:", file=sys.stderr
        )
        for scan in skipped:
            print(f"  {scan.path}", file=sys.stderr)
        return 1
    return 0


def warn_out_of_order(archive: Archive, progress: Progress) -> None:
    """Rows are written in file-name order; says where that order is not the time order."""
    previous: Scan | None = None
    for scan in archive.files:
        if scan.times is None or not len(scan.times):
            continue
        if previous is not None and previous.times is not None and scan.times[0] <= previous.times[-1]:
            progress.say(
                f"{PROG}: warning: {scan.path} starts at {scan.times[0]}, "
                f"not after the end of {previous.path} ({previous.times[-1]})"
            )
        previous = scan


# --- Command line ----------------------------------------------------------------


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


DESCRIPTION = (
    "Convert STS files, read in parallel on a Dask cluster, into one Zarr store, NetCDF or Parquet file."
)


EPILOG = """\
OUT is written as OUT.partial-PID and renamed once complete. A file that cannot
be read is reported on standard error and left out; a summary lists it.
Exit status: 0 done; 1 files left out, or refused, or failed; 2 usage, or the
convert extra missing; 130 interrupted (Ctrl-C, SIGTERM)."""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "sources", nargs="+", metavar="SRC", help="STS file, directory of *.sts files, or glob"
    )
    parser.add_argument("out", metavar="OUT", help="output path (a directory for zarr, a file otherwise)")
    parser.add_argument("--to", choices=FORMATS, required=True, help="output format")
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--workers",
        type=positive,
        metavar="N",
        help="worker processes of a local cluster (default: the CPU count)",
    )
    where.add_argument(
        "--scheduler", metavar="ADDRESS", help="use the Dask cluster of this scheduler instead"
    )
    parser.add_argument(
        "--chunk-rows",
        type=positive,
        default=DEFAULT_CHUNK_ROWS,
        metavar="N",
        help=f"rows per chunk / row group along time (default {DEFAULT_CHUNK_ROWS})",
    )
    parser.add_argument("--overwrite", action="store_true", help="replace OUT if it exists, once done")
    parser.add_argument(
        "--progress",
        choices=("auto", "always", "never"),
        default="auto",
        help="progress bar on standard error (auto: when it is a terminal)",
    )


def run(args: argparse.Namespace) -> int:
    """Runs ``quillrow convert`` on parsed arguments.  Exit status: 0 done; 1
    done without the files that could not be read, or refused, or failed; 2
    the extra is not installed (or, from argparse, a usage error); 130
    interrupted (Ctrl-C or SIGTERM)."""
    for module in ("distributed", "tqdm", "xarray", *WRITERS[args.to]):
        try:
            importlib.import_module(module)
        except ImportError as error:
            print(
                f'{PROG}: {module} cannot be imported ({error}): pip install "quillrow[convert]"',
                file=sys.stderr,
            )
            return 2
    previous = signal.signal(signal.SIGTERM, interrupt_on_sigterm)
    progress = Progress(args.progress)
    try:
        return convert(args, progress)
    except ConvertError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted; nothing written to {args.out}", file=sys.stderr)
        return 130
    except Exception as error:
        # A worker lost for good, a full disk, ...: one line, and no output.
        print(f"{PROG}: {type(error).__name__}: {error}; nothing written to {args.out}", file=sys.stderr)
        return 1
    finally:
        signal.signal(signal.SIGTERM, previous)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add_arguments(parser)
    return run(parser.parse_args(argv))
