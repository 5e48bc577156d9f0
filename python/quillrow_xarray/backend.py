"""The ``quillrow`` engine: a Dataset per STS file, its values read when computed."""

from __future__ import annotations

import os
from collections.abc import Hashable, Iterable
from typing import Any, ClassVar, Literal, NamedTuple

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.coding.times import CFDatetimeCoder, decode_cf_datetime
from xarray.core import indexing

import quillrow
from quillrow_format import (
    CALENDAR,
    TIME_UNITS,
    FileIdentity,
    channel_schema,
    given_channels,
    read_header,
    times_digest,
)

from .cache import Digest, check_cache_bytes, default_cache_bytes, matrix_cache


class Version(NamedTuple):
    """What a read found: the file's identity, if it stayed the same during the
    read, the digest of its timestamps, and the timestamps and values."""

    identity: FileIdentity | None
    digest: Digest
    timestamps: np.ndarray
    values: np.ndarray


def read_version(path: str, limit: int) -> Version:
    """Reads a file whole; its matrix goes into the cache when ``limit`` is not 0,
    the file is settled and its identity was the same before and after the read."""
    cache = matrix_cache()
    # read_sts takes a str only: anything else is left for it to refuse.
    before = cache.identify(path) if isinstance(path, str) else None
    settled = before is not None and cache.settled(before)
    timestamps, values = quillrow.read_sts(path)
    after = cache.identify(path)
    identity = after if before == after else None
    digest = times_digest(timestamps)
    if limit and settled and identity is not None:
        values = cache.put(identity, digest, values, limit)
    return Version(identity, digest, timestamps, values)


class ValuesArray(BackendArray):
    """The value matrix of one file, read when it is indexed, in the process that indexes it.

    Holds the file's path and what identifies the version that was opened:
    its FileIdentity and the digest of its timestamps.  It pickles small, so a
    Dask worker that computes a chunk reads the file where it runs.

    A read of the whole matrix takes it out of the process's cache (where the
    open left it) or parses the file, and hands it over without a copy; a
    read of a part keeps the matrix cached and returns a copy of the part.
    The cache serves only an entry of the same identity and digest; with
    ``cache_bytes`` 0 it is neither read nor written.  A file whose row count
    or timestamps differ from those seen at open is refused.
    """

    def __init__(self, path: str, opened: Version, cache_bytes: int) -> None:
        self.path = path
        self.shape = opened.values.shape
        self.dtype = opened.values.dtype
        self.identity = opened.identity
        self.digest = opened.digest
        self.cache_bytes = cache_bytes

    def read(self, keep: bool) -> np.ndarray:
        found = read_version(self.path, self.cache_bytes if keep else 0)
        if found.values.shape != self.shape or found.digest != self.digest:
            raise ValueError(f"{self.path} changed since it was opened: open it again")
        return found.values

    def matrix(self, keep: bool) -> np.ndarray:
        """The matrix; with keep, it stays in (or goes into) the cache and is the cache's."""
        identity = self.identity
        cache = matrix_cache()
        if not self.cache_bytes or identity is None or cache.identify(self.path) != identity:
            return self.read(keep)
        held = cache.get(identity, self.digest) if keep else cache.take(identity, self.digest)
        return self.read(keep) if held is None else held

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


def channel_coordinates(channels: Iterable[Hashable] | None, header: str) -> dict[str, xr.Variable]:
    """``channel``, and ``units`` where the header gives them (quillrow_format.channel_schema)."""
    schema = channel_schema(header, channels)
    coords = {"channel": xr.Variable("channel", np.array(schema.names))}
    if schema.units is not None and schema.has_units:
        coords["units"] = xr.Variable("channel", np.array(schema.units))
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
        channels: Iterable[Hashable] | None = None,
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
            given_channels(channels)

        if drop_variables is None:
            drop = set()
        elif isinstance(drop_variables, str):
            drop = {drop_variables}
        else:
            drop = set(drop_variables)

        opened = read_version(path, 0 if "values" in drop else limit)
        header = read_header(path)

        coords = {
            "time": time_coordinate(opened.timestamps, decode_times, use_cftime),
            **channel_coordinates(channels, header),
        }
        lazy = indexing.LazilyIndexedArray(ValuesArray(path, opened, limit))
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
