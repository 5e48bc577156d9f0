"""xarray backend for STS files, through quillrow.read_sts.

    import xarray as xr
    ds = xr.open_dataset("sample_2021_045.sts")                  # engine="quillrow" is guessed
    days = xr.open_mfdataset("days/*.sts", engine="quillrow", combine="nested",
                             concat_dim="time", parallel=True)

A file opens as a Dataset with

- ``time``: one timestamp per row, ``datetime64[ms]``;
- ``channel``: the eleven value columns, named after the header's columns
  when its innermost objects are the file's eighteen columns, each with a
  ``NAME`` (the last eleven are the values), else numbered 0..10; or the
  names given as ``channels=[...]``;
- ``units`` along ``channel``, the columns' ``UNIT`` values, when the header
  names the channels and gives units (not with ``channels=``);
- ``values``: the ``float32`` matrix, dims ``(time, channel)``.  Take it as
  ``ds["values"]``: ``ds.values`` is the Dataset's own mapping method;
- attributes ``source``, the path as given, and ``header``, the file's header
  lines up to and including the one that closes it, joined by LF (a CR before
  the LF dropped).  ``parse_header(ds.attrs["header"])`` gives its structure.

When the values are read: opening a file parses it whole, because the time
coordinate is needed at once and STS rows have no index.  The dataset then
keeps the time coordinate and the attributes only.  The value matrix read at
open waits in a per-process cache, bounded in bytes (``cache_bytes=``, else
the environment variable ``QUILLROW_CACHE_BYTES``, else 512 MiB; 0 turns it
off), for the first computation that needs it: "open, then load" in one
process parses each file once while the cache holds it, and a file that has
left the cache is parsed again when it is computed.  With Dask (``chunks=``,
``open_mfdataset``) each chunk is read by the process that computes it, so
on a ``dask.distributed`` cluster the matrices stay on the workers.

The cache never serves another version of a file than the one a dataset
opened.  An entry is keyed by the file's identity (quillrow_format.FileIdentity:
device, inode, size, modification and change time; the change time because
``rsync --inplace -t``, ``tar -x`` and ``cp -p`` put the modification time
back, and no user can set the change time back) and holds the digest of the
timestamps read; it serves only a dataset that opened that identity and
digest.  Only a file whose modification and change times are at least 2 s
old (4 s where the file system keeps whole seconds) is cached, so that a
later rewrite must change its identity.  With ``cache_bytes=0`` the dataset
neither reads nor writes the cache.  A cached matrix is a compact copy, so
the bound counts the memory held.  A file whose row count or timestamps have
changed since it was opened is refused with "PATH changed since it was
opened: open it again".

xarray's decoder keywords are accepted.  ``decode_times=False`` (or
``decode_cf=False``) gives the time coordinate as the reader's int64
milliseconds with CF ``units`` and ``calendar`` attributes;
``use_cftime=True``, or a ``CFDatetimeCoder`` with its ``time_unit`` and
``use_cftime``, decode them as xarray would.  ``decode_timedelta``,
``mask_and_scale``, ``decode_coords`` and ``concat_characters`` have nothing
to act on (no timedelta, fill value, scale, coordinates attribute or
character array) and are no-ops.  The ``values`` variable carries no fill
value, so NaN and its bits survive a write to NetCDF or Zarr; the time
coordinate is written as int64 milliseconds.

Every error of read_sts (OSError subclasses, the ValueError naming file and
line) reaches the caller as it was raised.
"""

from __future__ import annotations

from typing import Any

# The header functions (quillrow_format) need only the standard library and NumPy; the engine, which
# imports xarray, is loaded on first use (xarray's entry point looks it up).
from quillrow_format.header import channel_names, header_line_count, parse_header, read_header, take_header

__all__ = [
    "DEFAULT_CACHE_BYTES",
    "MATRICES",
    "QuillrowBackendEntrypoint",
    "ValuesArray",
    "channel_names",
    "header_line_count",
    "parse_header",
    "read_header",
    "take_header",
]

LAZY = {
    "QuillrowBackendEntrypoint": "backend",
    "ValuesArray": "backend",
    "DEFAULT_CACHE_BYTES": "cache",
    "MATRICES": "cache",
}


def __getattr__(name: str) -> Any:
    if name not in LAZY:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    return getattr(importlib.import_module(f".{LAZY[name]}", __name__), name)
