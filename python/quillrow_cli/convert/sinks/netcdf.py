"""NetCDF-4 (HDF5, through h5netcdf): one file written by this process, laid
out as xarray would write it."""

from __future__ import annotations

import os
import sys
import zlib
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import numpy as np

from quillrow_cli.convert.archive import Archive
from quillrow_cli.convert.base import untyped
from quillrow_cli.convert.sinks import Sink
from quillrow_cli.convert.work import Scan
from quillrow_format import CALENDAR, CHANNELS, TIME_UNITS

# Room for HDF5's own records (object headers, the chunk index) beside the data.
MARGIN = 1 << 20


class NetcdfSink(Sink):
    REQUIRES = ("h5netcdf", "h5py")

    @staticmethod
    def refuse(scan: Scan) -> str | None:
        if "\0" in scan.header:
            return f"{scan.path}: its header holds a NUL byte, which NetCDF text cannot hold"
        return None

    def __init__(self, path: str, archive: Archive, chunk_rows: int) -> None:
        super().__init__(path, archive, chunk_rows)
        h5netcdf = untyped("h5netcdf")

        # HDF5's own lock would clash with the run's lock on the temporary
        # file (quillrow_cli.convert.placement), which no other run opens.
        self.file: Any = h5netcdf.File(path, "w", locking=False)
        self.values: Any = None
        self.chunk = min(chunk_rows, archive.rows)
        text = sum(len(f.header.encode()) + len(f.path.encode()) for f in archive.files)
        with self.failing():
            self.reserve(archive.rows * 8 + 2 * text + MARGIN)
            self.values = layout(self.file, archive, self.chunk)
            self.file.flush()

    def write(self, start: int, block: Any) -> None:
        data = compressed(block, self.chunk)
        with self.failing():
            self.reserve(len(data) + MARGIN)
            self.values._h5ds.id.write_direct_chunk((start, 0), data)

    def close(self) -> None:
        """Writes what HDF5 still holds, then closes the file, once, without the
        room reserved beyond its end."""
        if self.file is None:
            return
        with self.failing():
            self.reserve(MARGIN)
            self.file.flush()
            end = self.file._h5file.id.get_filesize()
        file, self.file, self.values = self.file, None, None
        file.close()
        os.truncate(self.path, end)

    def reserve(self, room: int) -> None:
        """Makes sure the file system has ``room`` bytes for the file beyond what
        HDF5 has written or means to (its end of file): a full disk or a quota
        then fails here, in Python, and never inside HDF5, whose failed writes
        leave objects it cannot close (and a crash at exit)."""
        file_id = self.file._h5file.id
        os.posix_fallocate(file_id.get_vfd_handle(), 0, file_id.get_filesize() + room)

    @contextmanager
    def failing(self) -> Iterator[None]:
        """Runs a step of HDF5 writing; if it fails, abandons the file and raises
        the failure.  HDF5 writes data it holds when an object is released,
        where a failure reaches Python only as an "Exception ignored" message:
        those are taken as the step's failure, not printed."""
        caught: list[BaseException] = []
        previous, previous_print = sys.unraisablehook, sys.excepthook

        def keep(unraisable: Any) -> None:
            if isinstance(unraisable.exc_value, OSError | RuntimeError):
                caught.append(unraisable.exc_value)
            else:
                previous(unraisable)

        def keep_printed(kind: Any, value: Any, traceback: Any) -> None:
            # h5py prints the traceback of such a failure before it reports it.
            if not isinstance(value, OSError | RuntimeError):
                previous_print(kind, value, traceback)

        sys.unraisablehook, sys.excepthook = keep, keep_printed
        try:
            yield
        except BaseException:
            self.abandon()
            raise
        finally:
            sys.unraisablehook, sys.excepthook = previous, previous_print
        if caught:
            self.abandon()
            raise caught[0]

    def abandon(self) -> None:
        """Closes a file whose writing failed (a full disk, an I/O error), once.

        HDF5 keeps metadata in memory and writes it when the file closes:
        after a failed write, that fails again, and h5netcdf's close (which
        is also its ``__del__``) reads the file back and can crash the
        process.  The file is removed anyway, so its descriptor is pointed
        at a file in memory, h5netcdf's object is marked closed (its close
        would only flush), and HDF5 closes the file alone: what it still
        writes then succeeds, and no reference to the file is left behind."""
        file, self.file, self.values = self.file, None, None
        if file is None:
            return
        h5file = file._h5file
        memory = os.memfd_create("abandoned")
        try:
            os.dup2(memory, h5file.id.get_vfd_handle())
            file._closed = True
            h5file.close()
        except Exception:
            pass  # the write's own error is the one reported
        finally:
            os.close(memory)


SINK = NetcdfSink


def compressed(block: Any, chunk: int) -> bytes:
    """A chunk as HDF5 stores it with the filters of ``values`` (shuffle, then
    deflate at level 1), so that it is written at once: a chunk HDF5 filters
    itself waits in its cache and is written when an object is released,
    where a failure (a full disk) cannot be reported.  The last chunk is
    padded to the whole chunk, as HDF5 stores it."""
    rows = np.zeros((chunk, CHANNELS), np.float32)
    rows[: len(block)] = block
    shuffled = rows.view(np.uint8).reshape(-1, 4).T.tobytes()
    return zlib.compress(shuffled, 1)


def layout(f: Any, archive: Archive, chunk: int) -> Any:
    """Everything but the values; returns the ``values`` variable to fill."""
    text = untyped("h5py").string_dtype()
    schema = archive.schema
    f.dimensions = {"time": archive.rows, "channel": CHANNELS, "source": len(archive.files)}
    time = f.create_variable("time", ("time",), np.int64, chunks=(chunk,))
    time.attrs["units"] = TIME_UNITS
    time.attrs["calendar"] = CALENDAR
    time[:] = archive.times().view(np.int64)
    if schema.units is None:
        f.create_variable("channel", ("channel",), data=np.array(schema.names, dtype=np.int64))
    else:
        f.create_variable("channel", ("channel",), dtype=text, data=np.array(schema.names, object))
        f.create_variable("units", ("channel",), dtype=text, data=np.array(schema.units, object))
    values = f.create_variable(
        "values",
        ("time", "channel"),
        np.float32,
        chunks=(chunk, CHANNELS),
        compression="gzip",
        compression_opts=1,
        shuffle=True,
    )
    if schema.units is not None:
        values.attrs["coordinates"] = "units"
    # A NetCDF attribute of one element reads back as that element: the
    # sources are also coordinates along ``source``, lists for one file too.
    attrs = archive.attrs()
    for key, value in attrs.items():
        f.attrs[key] = value
        integers = key == "source_rows"
        data = np.array(value, dtype=np.int64 if integers else object)
        f.create_variable(key, ("source",), dtype=np.int64 if integers else text, data=data)
    f.attrs["coordinates"] = " ".join(attrs)
    return values
