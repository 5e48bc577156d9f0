"""xarray backend for STS files, through quillrow.read_sts.

    import xarray as xr
    ds = xr.open_dataset("sample_2021_045.sts")                  # engine="quillrow" is guessed
    days = xr.open_mfdataset("days/*.sts", engine="quillrow", combine="nested",
                             concat_dim="time", parallel=True)

A file opens as a Dataset with

- ``time``: one timestamp per row, ``datetime64[ms]`` (xarray 2025.01.2 and later
  keep that unit; an older xarray converts it to nanoseconds itself, exactly,
  and refuses times outside 1678..2262);
- ``channel``: the eleven value columns, numbered 0..10, or the names given as
  ``channels=[...]``;
- ``values``: the ``float32`` matrix, dims ``(time, channel)``.  Take it as
  ``ds["values"]``: ``ds.values`` is the Dataset's own mapping method;
- attributes ``source``, the path as given, and ``header``, the file's header
  lines up to and including the one that closes it, joined by LF (a CR before
  the LF dropped), not interpreted.  Bytes that are not UTF-8 appear as
  backslash escapes such as ``\\xff``.

The arrays are the ones read_sts returns, wrapped without a copy, and every
error of read_sts (OSError subclasses, the ValueError naming file and line)
reaches the caller as it was raised.  The whole file is read when it is
opened: STS rows have no index to read a slice by.  open_mfdataset therefore
makes one chunk per file, and with parallel=True the reads run as Dask tasks.
On a distributed cluster the matrix does not travel back with the opened
dataset: the worker that computes a chunk reads its file again (and refuses
a file whose row count or first or last time has changed meanwhile).
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any, ClassVar

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

import quillrow

__all__ = ["QuillrowBackendEntrypoint", "read_header"]

CHANNELS = 11


def read_header(path: str) -> str:
    """The header of an STS file as text, lines joined by LF.

    Reads up to the line on which the closing lines first balance the opening
    ones: a line holding END_OBJECT closes a block (and counts only as that),
    any other line holding OBJECT opens one.  Empty lines are kept but not
    counted.  The file is read only that far.
    """
    opened = closed = 0
    lines = []
    with open(path, "rb") as file:
        for raw in file:
            line = raw.removesuffix(b"\n").removesuffix(b"\r")
            lines.append(line)
            if b"END_OBJECT" in line:
                closed += 1
            elif b"OBJECT" in line:
                opened += 1
            if opened and opened == closed:
                break
    return b"\n".join(lines).decode("utf-8", "backslashreplace")


def channel_coordinate(channels: Iterable[Any] | None) -> np.ndarray:
    if channels is None:
        return np.arange(CHANNELS)
    if isinstance(channels, str | bytes):
        raise TypeError("channels must be a sequence of 11 names, not one string")
    names = list(channels)
    if len(names) != CHANNELS or len(set(names)) != CHANNELS:
        raise ValueError(f"channels must give 11 distinct names, one per value column; got {names!r}")
    return np.array(names)


class ValuesArray(BackendArray):
    """The value matrix of one file, read once and handed out as views.

    In the process that opened the file it holds read_sts's matrix itself.
    Pickled, it keeps only the path, the shape and the first and last
    timestamps: a Dask worker that receives it (open_mfdataset with a
    distributed scheduler) reads the file again where it runs instead of
    the matrix travelling through the client and the task graph.
    """

    def __init__(self, path: str, timestamps: np.ndarray, values: np.ndarray) -> None:
        self.path = path
        self.shape = values.shape
        self.dtype = values.dtype
        self.span = (timestamps[0], timestamps[-1])
        self.held: np.ndarray | None = values

    def __getstate__(self) -> dict[str, Any]:
        return {**self.__dict__, "held": None}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)

    def matrix(self) -> np.ndarray:
        if self.held is None:
            timestamps, values = quillrow.read_sts(self.path)
            if values.shape != self.shape or (timestamps[0], timestamps[-1]) != self.span:
                raise ValueError(f"{self.path} changed since it was opened: open it again")
            self.held = values
        return self.held

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        # Slices give views of the matrix; at most one index array, a copy of what it selects.
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.OUTER_1VECTOR, lambda raw: self.matrix()[raw]
        )


def nothing_to_close() -> None:
    """read_sts and read_header close the file before the dataset exists."""


class QuillrowBackendEntrypoint(BackendEntrypoint):
    """The ``quillrow`` engine of xarray.open_dataset and open_mfdataset."""

    description: ClassVar[str] = "STS files (keyword header, rows of time fields and 11 values) by quillrow"
    # No hosted documentation: the README of the quillrow distribution describes the engine.
    url: ClassVar[str] = ""
    open_dataset_parameters: ClassVar[tuple[str, ...]] = ("filename_or_obj", "drop_variables", "channels")

    def open_dataset(  # type: ignore[override]
        self,
        filename_or_obj: Any,
        *,
        drop_variables: str | Iterable[str] | None = None,
        channels: Iterable[Any] | None = None,
    ) -> xr.Dataset:
        # read_sts takes a str only; anything else goes to it unchanged, so
        # that its TypeError is the one the caller sees.
        path = os.fspath(filename_or_obj) if isinstance(filename_or_obj, os.PathLike) else filename_or_obj
        channel = channel_coordinate(channels)
        timestamps, values = quillrow.read_sts(path)

        if drop_variables is None:
            drop = set()
        elif isinstance(drop_variables, str):
            drop = {drop_variables}
        else:
            drop = set(drop_variables)
        coords = {
            "time": xr.Variable("time", timestamps),
            "channel": xr.Variable("channel", channel),
        }
        lazy = indexing.LazilyIndexedArray(ValuesArray(path, timestamps, values))
        data = {"values": xr.Variable(("time", "channel"), lazy)}
        dataset = xr.Dataset(
            {k: v for k, v in data.items() if k not in drop},
            coords={k: v for k, v in coords.items() if k not in drop},
            attrs={"source": path, "header": read_header(path)},
        )
        # open_mfdataset's close calls the closer of every file's dataset.
        dataset.set_close(nothing_to_close)
        return dataset

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        try:
            path = os.fspath(filename_or_obj)
        except TypeError:
            return False
        return isinstance(path, str) and path.lower().endswith(".sts")
