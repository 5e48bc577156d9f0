"""A per-process cache of value matrices read from STS files, bounded in bytes.

Opening a file parses it whole (its time coordinate is needed at once), so
the matrix read at open is kept here for the first computation that asks for
it, instead of the file being parsed a second time.  An entry is keyed by the
identity and version of the file it came from: device, inode, size and
modification time.  A file rewritten since it was read has another key and
is never served from an entry of its older version.
"""

from __future__ import annotations

import os
import threading
import time
from collections import OrderedDict
from typing import NamedTuple

import numpy as np

DEFAULT_CACHE_BYTES = 512 * 2**20
CACHE_BYTES_VARIABLE = "QUILLROW_CACHE_BYTES"

# A file modified this recently may be modified again within the same tick of
# the file system's clock, keeping its size and modification time: its matrix
# is not cached, since its key could not tell the two versions apart.
RACY_NS = 100_000_000


class FileVersion(NamedTuple):
    device: int
    inode: int
    size: int
    mtime_ns: int


def file_version(path: str) -> FileVersion:
    stat = os.stat(path)
    return FileVersion(stat.st_dev, stat.st_ino, stat.st_size, stat.st_mtime_ns)


def settled(version: FileVersion) -> bool:
    """Whether any later change to the file must show in its modification time."""
    return time.time_ns() - version.mtime_ns >= RACY_NS


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


class MatrixCache:
    """Least recently used matrices, at most a given number of bytes in all.

    Thread-safe.  The bound travels with each insertion (it belongs to the
    dataset that reads the file), and an insertion evicts the least recently
    used entries until the total is within it; a matrix larger than the bound
    is not kept.  What ``get`` returns stays the cache's: hand out copies of
    it, never views.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._entries: OrderedDict[FileVersion, np.ndarray] = OrderedDict()
        self._bytes = 0

    @property
    def nbytes(self) -> int:
        return self._bytes

    def __len__(self) -> int:
        return len(self._entries)

    def put(self, key: FileVersion, matrix: np.ndarray, limit: int) -> None:
        if matrix.nbytes > limit:
            return
        with self._lock:
            self._drop(key)
            self._entries[key] = matrix
            self._bytes += matrix.nbytes
            while self._bytes > limit:
                self._drop(next(iter(self._entries)))

    def get(self, key: FileVersion) -> np.ndarray | None:
        """The entry, which stays and becomes the most recently used."""
        with self._lock:
            matrix = self._entries.get(key)
            if matrix is not None:
                self._entries.move_to_end(key)
            return matrix

    def take(self, key: FileVersion) -> np.ndarray | None:
        """The entry, removed: the caller owns it from now on."""
        with self._lock:
            matrix = self._entries.pop(key, None)
            if matrix is not None:
                self._bytes -= matrix.nbytes
            return matrix

    def clear(self) -> None:
        with self._lock:
            self._entries.clear()
            self._bytes = 0

    def _drop(self, key: FileVersion) -> None:
        matrix = self._entries.pop(key, None)
        if matrix is not None:
            self._bytes -= matrix.nbytes


MATRICES = MatrixCache()
