"""The output formats of ``quillrow convert``, one module each, behind one registry.

``SINKS`` is the only list of formats: ``--to`` offers its keys, and the
command imports a format's module only when it is chosen.  A format's module
defines ``SINK``, a subclass of ``Sink`` that says

- ``REQUIRES``: the modules it writes with, imported before the run starts,
  so that a missing one is reported at once (exit status 2);
- ``DIRECTORY``: whether the output is a directory (else one file);
- ``refuse(scan)``: why a checked file cannot be stored in this format (a
  header text it cannot hold), or None; such a file is left out like a file
  that cannot be read;
- ``__init__(path, archive, chunk_rows)``: makes the output at ``path`` (the
  temporary name, already made as an empty directory or file) with
  everything but the values; the command holds signals meanwhile;
- ``chunk_task()``: the function a worker runs for each chunk, called as
  ``task(start, pieces)``: by default it returns the chunk's rows, which then
  travel here to ``write(start, block)``; a format whose workers write the
  chunks themselves (Zarr) returns a task that does so;
- ``close()``: finishes the output.  Called once on success and again on the
  way out of any failure: it must do its work once, drop its references to
  the writer, and raise the writer's error (full disk, ...) as it is.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from quillrow_cli.convert.archive import Archive
    from quillrow_cli.convert.base import Matrix
    from quillrow_cli.convert.work import Scan

SINKS = {
    "zarr": "quillrow_cli.convert.sinks.zarr",
    "netcdf": "quillrow_cli.convert.sinks.netcdf",
    "parquet": "quillrow_cli.convert.sinks.parquet",
}
FORMATS = tuple(SINKS)


class Sink:
    """One output format: made before the values, fed chunks in order, closed at the end."""

    REQUIRES: tuple[str, ...] = ()
    DIRECTORY = False

    def __init__(self, path: str, archive: Archive, chunk_rows: int) -> None:
        del archive, chunk_rows
        self.path = path

    @staticmethod
    def refuse(scan: Scan) -> str | None:
        del scan
        return None

    def chunk_task(self) -> Callable[[int, Sequence[tuple[Matrix, int, int]]], Any]:
        from quillrow_cli.convert.work import chunk_block

        return chunk_block

    def write(self, start: int, block: Any) -> None:
        del start, block

    def close(self) -> None:
        pass


def sink_class(fmt: str) -> type[Sink]:
    """The sink of a format of SINKS (its module imported now)."""
    sink: type[Sink] = importlib.import_module(SINKS[fmt]).SINK
    return sink
