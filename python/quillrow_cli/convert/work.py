"""The work done on the Dask workers: checking a file, then reading its values
for the chunks it belongs to.  Light to import: a worker loads this module
(and quillrow_format) to run these functions, nothing of the client side."""

from __future__ import annotations

import zlib
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

import quillrow
from quillrow_cli.common import check_regular, error_line
from quillrow_cli.convert.base import ConvertError, Matrix, Times
from quillrow_format import ChannelSchema, FileIdentity, channel_schema, read_header, times_digest


@dataclass(frozen=True)
class Scan:
    """One source file as checked on a worker: its times, header and channels,
    and what identifies the version read, or its fault."""

    path: str
    times: Times | None = None
    header: str = ""
    schema: ChannelSchema | None = None
    identity: FileIdentity | None = None
    digest: tuple[int, int] | None = None
    # A CRC of the values, taken when the file's identity was too fresh to be
    # sure that a later write shows in it (FileIdentity.settled).
    values_crc: int | None = None
    error: str | None = None

    @property
    def rows(self) -> int:
        return 0 if self.times is None else len(self.times)

    def version(self) -> Version:
        assert self.identity is not None and self.digest is not None
        return Version(self.identity, self.digest, self.values_crc)


@dataclass(frozen=True)
class Version:
    """What the second read of a file must find again: the version checked."""

    identity: FileIdentity
    digest: tuple[int, int]
    values_crc: int | None


def values_crc(values: Matrix) -> int:
    return zlib.crc32(np.ascontiguousarray(values).view(np.uint8).data)


def scan_file(path: str) -> Scan:
    """Reads a file whole, keeping its times, header and channels."""
    try:
        check_regular(path)
        times, values = quillrow.read_sts(path)
        # After the read, so that a file that cannot be opened is reported in
        # the reader's words.  A write during the read leaves the identity
        # fresh, and the values' CRC then tells the next read from this one.
        identity = FileIdentity.of(path)
        header = read_header(path)
    except (OSError, ValueError, UnicodeError) as error:
        return Scan(path, error=error_line(path, error))
    crc = None if identity.settled() else values_crc(values)
    return Scan(path, times, header, channel_schema(header), identity, times_digest(times), crc)


def read_values(path: str, version: Version) -> Matrix:
    """The value matrix of a file checked before, refused if it has changed since:
    another identity, other timestamps, or, for a file changed just before the
    check, other values."""
    try:
        times, values = quillrow.read_sts(path)
        identity = FileIdentity.of(path)
    except (OSError, ValueError, UnicodeError) as error:
        raise ConvertError(f"{error_line(path, error)} (it was read before)") from error
    if (
        identity != version.identity
        or times_digest(times) != version.digest
        or (version.values_crc is not None and values_crc(values) != version.values_crc)
    ):
        raise ConvertError(f"{path} changed while it was being converted")
    return values


# A chunk's share of one file: its matrix (a Future on the client's side),
# first row, end row.
Piece = tuple[Any, int, int]


def assemble(pieces: Sequence[tuple[Matrix, int, int]]) -> Matrix:
    """The rows of one chunk, from the files it spans."""
    parts = [matrix[lo:hi] for matrix, lo, hi in pieces]
    return parts[0].copy() if len(parts) == 1 else np.concatenate(parts)


def chunk_block(start: int, pieces: Sequence[tuple[Matrix, int, int]]) -> Matrix:
    """The chunk task of a sink written by this process: the block travels here."""
    del start
    return assemble(pieces)
