"""The ``quillrow`` engine: a Dataset per STS file, its values read when computed."""

from __future__ import annotations

import os
import zlib
from collections.abc import Iterable
from typing import Any, ClassVar, Literal

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.coding.times import CFDatetimeCoder, decode_cf_datetime
from xarray.core import indexing

import quillrow
from quillrow_format import CHANNELS, channel_names, read_header

from .cache import MATRICES, FileVersion, check_cache_bytes, default_cache_bytes, file_version, settled

# How the time coordinate is stored when a dataset is written (NetCDF, Zarr),
# and what it holds undecoded: the reader's own integer milliseconds.
TIME_UNITS = "milliseconds since 1970-01-01"
CALENDAR = "proleptic_gregorian"


def times_digest(timestamps: np.ndarray) -> tuple[int, int]:
    """A checksum of the timestamps, to tell a rewritten file from the one that was opened."""
    return len(timestamps), zlib.crc32(np.ascontiguousarray(timestamps).view(np.uint8).data)


def version_or_none(path: str) -> FileVersion | None:
    try:
        return file_version(path)
    except OSError:
        return None


class ValuesArray(BackendArray):
    """The value matrix of one file, read when it is indexed, in the process that indexes it.

    Holds the file's path and what identifies the version that was opened:
    its file version and a digest of its timestamps.  It pickles small, so a
    Dask worker that computes a chunk reads the file where it runs.

    A read of the whole matrix takes it out of the process's cache (where the
    open left it) or parses the file, and hands it over without a copy; a
    read of a part keeps the matrix cached and returns a copy of the part.  A
    file whose row count or timestamps differ from those seen at open is
    refused.
    """

    def __init__(
        self,
        path: str,
        timestamps: np.ndarray,
        values: np.ndarray,
        version: FileVersion | None,
        cache_bytes: int,
    ) -> None:
        self.path = path
        self.shape = values.shape
        self.dtype = values.dtype
        self.version = version
        self.times = times_digest(timestamps)
        self.cache_bytes = cache_bytes

    def read(self) -> np.ndarray:
        timestamps, values = quillrow.read_sts(self.path)
        if values.shape != self.shape or times_digest(timestamps) != self.times:
            raise ValueError(f"{self.path} changed since it was opened: open it again")
        return values

    def matrix(self, keep: bool) -> np.ndarray:
        """The matrix; with keep, it stays in (or goes into) the cache and is the cache's."""
        version = self.version
        if version is None or version_or_none(self.path) != version:
            return self.read()
        held = MATRICES.get(version) if keep else MATRICES.take(version)
        if held is not None:
            return held
        values = self.read()
        if keep and settled(version) and version_or_none(self.path) == version:
            MATRICES.put(version, values, self.cache_bytes)
        return values

    def raw_getitem(self, key: tuple[Any, ...]) -> np.ndarray:
        whole = all(
            isinstance(k, slice) and k.indices(n) == (0, n, 1) for k, n in zip(key, self.shape, strict=True)
        )
        if whole:
            return self.matrix(keep=False)
        # A part is copied: a view would keep the whole matrix alive, or alias a cache entry.
        return np.array(self.matrix(keep=True)[key])

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.OUTER_1VECTOR, self.raw_getitem
        )


def channel_coordinates(channels: Iterable[Any] | None, header: str) -> dict[str, xr.Variable]:
    """``channel``, and ``units`` where the header gives them: from channels=, else the
    header's column names, else 0..10."""
    if channels is not None:
        if isinstance(channels, str | bytes):
            raise TypeError("channels must be a sequence of 11 names, not one string")
        names = list(channels)
        if len(names) != CHANNELS or len(set(names)) != CHANNELS:
            raise ValueError(f"channels must give 11 distinct names, one per value column; got {names!r}")
        return {"channel": xr.Variable("channel", np.array(names))}
    found = channel_names(header)
    if found is None:
        return {"channel": xr.Variable("channel", np.arange(CHANNELS))}
    named, units = found
    coords = {"channel": xr.Variable("channel", np.array(named))}
    if any(units):
        coords["units"] = xr.Variable("channel", np.array(units))
    return coords


def time_coordinate(timestamps: np.ndarray, decode_times: Any, use_cftime: bool | None) -> xr.Variable:
    encoding = {"units": TIME_UNITS, "calendar": CALENDAR, "dtype": np.dtype(np.int64)}
    if decode_times is False:
        return xr.Variable(
            "time", timestamps.view(np.int64), attrs={"units": TIME_UNITS, "calendar": CALENDAR}
        )
    unit: Literal["s", "ms", "us", "ns"] = "ms"
    if isinstance(decode_times, CFDatetimeCoder):
        unit = decode_times.time_unit
        if decode_times.use_cftime is not None:
            use_cftime = decode_times.use_cftime
    if not use_cftime and unit == "ms":
        return xr.Variable("time", timestamps, encoding=encoding)
    # Another unit or cftime objects: xarray's own decoding of the same integers.
    decoded = decode_cf_datetime(timestamps.view(np.int64), TIME_UNITS, CALENDAR, use_cftime, unit)
    return xr.Variable("time", decoded, encoding=encoding)


def nothing_to_close() -> None:
    """read_sts and read_header close the file before the dataset exists."""


class QuillrowBackendEntrypoint(BackendEntrypoint):
    """The ``quillrow`` engine of xarray.open_dataset and open_mfdataset."""

    description: ClassVar[str] = "STS files (keyword header, rows of time fields and 11 values) by quillrow"
    # No hosted documentation: the README of the quillrow distribution describes the engine.
    url: ClassVar[str] = ""
    open_dataset_parameters: ClassVar[tuple[str, ...]] = (
        "filename_or_obj",
        "drop_variables",
        "channels",
        "cache_bytes",
        "decode_times",
        "use_cftime",
        "decode_timedelta",
        "mask_and_scale",
        "decode_coords",
        "concat_characters",
    )

    def open_dataset(
        self,
        filename_or_obj: Any,
        *,
        drop_variables: str | Iterable[str] | None = None,
        channels: Iterable[Any] | None = None,
        cache_bytes: int | None = None,
        decode_times: Any = None,
        use_cftime: bool | None = None,
        decode_timedelta: Any = None,
        mask_and_scale: Any = None,
        decode_coords: Any = None,
        concat_characters: Any = None,
    ) -> xr.Dataset:
        # The file has no variable that the last four would act on: no
        # timedelta, no fill value or scale, no coordinates attribute, no
        # character arrays.  They are accepted so that generic code runs.
        del decode_timedelta, mask_and_scale, decode_coords, concat_characters
        limit = default_cache_bytes() if cache_bytes is None else check_cache_bytes(cache_bytes)
        # read_sts takes a str only; anything else goes to it unchanged, so
        # that its TypeError is the one the caller sees.
        path = os.fspath(filename_or_obj) if isinstance(filename_or_obj, os.PathLike) else filename_or_obj
        if channels is not None:
            channel_coordinates(channels, "")

        if drop_variables is None:
            drop = set()
        elif isinstance(drop_variables, str):
            drop = {drop_variables}
        else:
            drop = set(drop_variables)

        before = version_or_none(path) if isinstance(path, str) else None
        timestamps, values = quillrow.read_sts(path)
        version = version_or_none(path)
        if "values" not in drop and version is not None and before == version and settled(version):
            MATRICES.put(version, values, limit)
        header = read_header(path)

        coords = {
            "time": time_coordinate(timestamps, decode_times, use_cftime),
            **channel_coordinates(channels, header),
        }
        lazy = indexing.LazilyIndexedArray(ValuesArray(path, timestamps, values, version, limit))
        # No fill value: NaN is data here, and written files keep its bits.
        data = {"values": xr.Variable(("time", "channel"), lazy, encoding={"_FillValue": None})}
        dataset = xr.Dataset(
            {k: v for k, v in data.items() if k not in drop},
            coords={k: v for k, v in coords.items() if k not in drop},
            attrs={"source": path, "header": header},
        )
        if "units" in dataset.coords:
            # Indexed, the units stay in memory like the channel names: open_mfdataset
            # then compares indexes instead of computing a chunk of units per file.
            dataset = dataset.set_xindex("units")
        # open_mfdataset's close calls the closer of every file's dataset.
        dataset.set_close(nothing_to_close)
        return dataset

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        try:
            path = os.fspath(filename_or_obj)
        except TypeError:
            return False
        return isinstance(path, str) and path.lower().endswith(".sts")
