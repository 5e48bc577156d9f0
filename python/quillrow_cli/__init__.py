"""The command line of the quillrow distribution.

- ``info`` (quillrow_cli.info): what is in STS files, as ``quillrow-info`` and
  ``quillrow info``;
- ``convert`` (quillrow_cli.convert): an archive into one Zarr, NetCDF or
  Parquet output;
- common: what both share (the regular-file check, the one-line error, the
  progress bar);
- command: ``quillrow`` itself, which dispatches to them.

Importing the package imports nothing else: ``quillrow convert`` sets up its
signal handling before the heavy imports, and Dask workers import the
converter's worker functions through it.
"""

from __future__ import annotations

from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    """quillrow-info (see quillrow_cli.info)."""
    from quillrow_cli import info

    return info.main(argv)
