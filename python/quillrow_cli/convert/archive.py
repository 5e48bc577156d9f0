"""The archive as a whole: the good files, in order, and what the output says
about them."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from quillrow_cli.convert.base import ConvertError, Times
from quillrow_cli.convert.work import Scan
from quillrow_format import NUMBERED, ChannelSchema


@dataclass(frozen=True)
class Archive:
    """The files to convert, in order, and the channels they share."""

    files: list[Scan]
    schema: ChannelSchema

    @property
    def rows(self) -> int:
        return sum(f.rows for f in self.files)

    def times(self) -> Times:
        return np.concatenate([f.times for f in self.files if f.times is not None])

    def attrs(self) -> dict[str, list[str] | list[int]]:
        """Where the rows come from, as lists (one file gives lists of one)."""
        return {
            "sources": [f.path for f in self.files],
            "source_rows": [f.rows for f in self.files],
            "headers": [f.header for f in self.files],
        }


def make_archive(good: list[Scan]) -> Archive:
    """Refuses files whose headers name their channels differently from the first's."""
    first = good[0]
    for scan in good[1:]:
        if scan.schema != first.schema:
            raise ConvertError(
                f"{scan.path} names its channels {describe(scan)}, unlike "
                f"{first.path} ({describe(first)}): convert them separately"
            )
    return Archive(good, first.schema or NUMBERED)


def describe(scan: Scan) -> str:
    return (scan.schema or NUMBERED).describe()


def out_of_order(archive: Archive) -> list[str]:
    """Rows are written in file-name order: where that order is not the time order,
    a warning naming the two files."""
    warnings: list[str] = []
    previous: Scan | None = None
    for scan in archive.files:
        if scan.times is None or not len(scan.times):
            continue
        if previous is not None and previous.times is not None and scan.times[0] <= previous.times[-1]:
            warnings.append(
                f"warning: {scan.path} starts at {scan.times[0]}, "
                f"not after the end of {previous.path} ({previous.times[-1]})"
            )
        previous = scan
    return warnings
