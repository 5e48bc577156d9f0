"""A per-process cache of value matrices read from STS files, bounded in bytes.

Opening a file parses it whole (its time coordinate is needed at once), so
the matrix read at open is kept here for the first computation that asks for
it, instead of the file being parsed a second time.

An entry is keyed by the identity of the file's version it came from
(quillrow_format.FileIdentity: device, inode, size, modification and change
time) and holds the digest of that version's timestamps besides its matrix.
It is made only from a read during which the identity stayed the same, of a
file settled enough that a later change must show in its identity; and it is
handed out only to a reader that asks with the same identity and digest.
"""

from __future__ import annotations

import os
import threading
import time
from collections import OrderedDict
from collections.abc import Callable
from typing import NamedTuple

import numpy as np

from quillrow_format import FileIdentity

DEFAULT_CACHE_BYTES = 512 * 2**20
CACHE_BYTES_VARIABLE = "QUILLROW_CACHE_BYTES"

Digest = tuple[int, int]


def default_cache_bytes() -> int:
    """The bound from QUILLROW_CACHE_BYTES when it is set, else 512 MiB."""
    text = os.environ.get(CACHE_BYTES_VARIABLE, "").strip()
    if not text:
        return DEFAULT_CACHE_BYTES
    try:
        value = int(text)
    except ValueError:
        raise ValueError(f"{CACHE_BYTES_VARIABLE} must be a whole number of bytes, not {text!r}") from None
    return check_cache_bytes(value)


def check_cache_bytes(value: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError(f"cache_bytes must be a whole number of bytes, 0 or more; got {value!r}")
    return value


def compact(matrix: np.ndarray) -> np.ndarray:
    """The matrix in memory of its own size.  The reader's matrix lives in a
    buffer with room reserved for one row per 96 bytes of file, which padded
    rows leave mostly empty; a copy (a fraction of the parse's time) frees it."""
    if matrix.base is None and matrix.flags.c_contiguous:
        return matrix
    return np.array(matrix, order="C", copy=True)


class Entry(NamedTuple):
    digest: Digest
    matrix: np.ndarray


class MatrixCache:
    """Least recently used matrices, at most a given number of bytes in all.

    Thread-safe.  The bound travels with each insertion (it belongs to the
    dataset that reads the file), and an insertion evicts the least recently
    used entries until the total is within it; a matrix larger than the bound
    is not kept.  The bytes counted are the bytes held: a matrix is stored in
    memory of its own size (see compact).  What ``get`` returns stays the
    cache's: hand out copies of it, never views.

    ``clock`` (nanoseconds since the epoch) and ``identify`` (a path's
    FileIdentity, or None) are how the cache tells the time and tells file
    versions apart; a test can give its own.
    """

    def __init__(
        self,
        clock: Callable[[], int] = time.time_ns,
        identify: Callable[[str], FileIdentity | None] = FileIdentity.or_none,
    ) -> None:
        self.clock = clock
        self.identify = identify
        self._lock = threading.Lock()
        self._entries: OrderedDict[FileIdentity, Entry] = OrderedDict()
        self._bytes = 0

    @property
    def nbytes(self) -> int:
        return self._bytes

    def __len__(self) -> int:
        return len(self._entries)

    def settled(self, key: FileIdentity) -> bool:
        return key.settled(self.clock())

    def put(self, key: FileIdentity, digest: Digest, matrix: np.ndarray, limit: int) -> np.ndarray:
        """Keeps the matrix of the version ``key`` whose timestamps gave ``digest``
        (in place of an entry of the same key), and returns what is kept, or
        the matrix when it is larger than the bound."""
        if matrix.nbytes > limit:
            return matrix
        kept = compact(matrix)
        with self._lock:
            self._drop(key)
            self._entries[key] = Entry(digest, kept)
            self._bytes += kept.nbytes
            while self._bytes > limit:
                self._drop(next(iter(self._entries)))
        return kept

    def get(self, key: FileIdentity, digest: Digest) -> np.ndarray | None:
        """The matrix of this version, which stays and becomes the most recently used."""
        with self._lock:
            entry = self._entries.get(key)
            if entry is None or entry.digest != digest:
                return None
            self._entries.move_to_end(key)
            return entry.matrix

    def take(self, key: FileIdentity, digest: Digest) -> np.ndarray | None:
        """The matrix of this version, removed: the caller owns it from now on."""
        with self._lock:
            entry = self._entries.get(key)
            if entry is None or entry.digest != digest:
                return None
            self._drop(key)
            return entry.matrix

    def held(self) -> list[np.ndarray]:
        """The matrices held, least recently used first."""
        with self._lock:
            return [entry.matrix for entry in self._entries.values()]

    def clear(self) -> None:
        with self._lock:
            self._entries.clear()
            self._bytes = 0

    def _drop(self, key: FileIdentity) -> None:
        entry = self._entries.pop(key, None)
        if entry is not None:
            self._bytes -= entry.matrix.nbytes


MATRICES = MatrixCache()


def matrix_cache() -> MatrixCache:
    """The cache the engine uses in this process: ``MATRICES``, looked up at each
    use, so that a test can put its own in its place."""
    return MATRICES
