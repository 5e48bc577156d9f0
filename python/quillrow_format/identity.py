"""What tells one version of a file from another: its identity in the file system,
and a digest of the timestamps read from it.

A reader that keeps what it read (a cache) or reads a file twice (a check,
then a conversion) compares the two to know that it still has the version
it started with.
"""

from __future__ import annotations

import os
import time
import zlib
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

SECOND_NS = 1_000_000_000

# How old a file's times of change must be before a later change is sure to
# show in them (see FileIdentity.settled).
SETTLE_NS = 2 * SECOND_NS
# The coarsest clock step in use: FAT keeps modification times in steps of two
# seconds.  A file system whose times have no sub-second part gets this on top.
COARSE_STEP_NS = 2 * SECOND_NS


@dataclass(frozen=True)
class FileIdentity:
    """One version of one file, as the file system describes it.

    ``device`` and ``inode`` say which file, ``size``, ``mtime_ns`` and
    ``ctime_ns`` which version of it.  The modification time alone is not
    enough: ``rsync --inplace -t``, ``tar -x`` and ``cp -p`` put it back after
    they rewrite a file, keeping its size too.  The change time cannot be set
    by a user; every write and every change of the modification time moves it.
    """

    device: int
    inode: int
    size: int
    mtime_ns: int
    ctime_ns: int

    @staticmethod
    def from_stat(st: os.stat_result) -> FileIdentity:
        return FileIdentity(st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)

    @staticmethod
    def of(path: str | os.PathLike[str]) -> FileIdentity:
        """The identity of the file at ``path`` now; OSError if it cannot be looked up."""
        return FileIdentity.from_stat(os.stat(path))

    @staticmethod
    def or_none(path: str | os.PathLike[str]) -> FileIdentity | None:
        """The identity of the file at ``path`` now, or None if it cannot be looked up."""
        try:
            return FileIdentity.of(path)
        except (OSError, ValueError):
            # ValueError: a path with a NUL byte, which names no file.
            return None

    @property
    def coarse(self) -> bool:
        """Whether the file system keeps whole seconds only: a change time, set by
        the system's clock, with no sub-second part."""
        return self.ctime_ns % SECOND_NS == 0

    def settled(self, now_ns: int | None = None) -> bool:
        """Whether any later change to the file must show in its identity.

        A file system stamps a change with its clock read in steps: a write
        soon after another, within the same step, leaves the times as they
        were, and with the size kept the two versions look the same.  So a
        version counts only when both its modification and change times are
        at least two seconds old (``now_ns``, the time now, by default the
        system's): by then the clock has moved on past any step in use, and a
        later write gets other times.  Two seconds also cover file systems
        that keep whole seconds (ext4 with 128-byte inodes, many network file
        systems, which also stamp with the server's clock) and modest clock
        skew; a file system whose change times have no sub-second part gets
        another two seconds (FAT keeps steps of two).  This is git's rule for
        "racily clean" index entries, with a margin for coarse clocks.
        """
        now = time.time_ns() if now_ns is None else now_ns
        window = SETTLE_NS + (COARSE_STEP_NS if self.coarse else 0)
        return now - max(self.mtime_ns, self.ctime_ns) >= window


def times_digest(timestamps: npt.NDArray[np.datetime64] | npt.NDArray[np.int64]) -> tuple[int, int]:
    """The row count and a CRC-32 of the timestamps' bytes: what tells a rewritten
    file from the version that was read, when its identity cannot."""
    data = np.ascontiguousarray(timestamps).view(np.uint8)
    return len(timestamps), zlib.crc32(data.data)
