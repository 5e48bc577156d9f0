"""quillrow-info: what is in one or more STS files, and how fast they read.

    quillrow-info FILE...            a short report per file
    quillrow-info --json FILE...     the same as one JSON array, a report per line

The same command is ``quillrow info``; ``quillrow convert`` turns an archive
of files into one Zarr store, NetCDF file or Parquet file (quillrow_cli.convert).

Per file: the row count, the first and last timestamp and the span between
them, the cadence (median interval between consecutive rows), the NaN count
of each of the eleven value columns, and the read rate.  A file that cannot
be read gives one line on standard error naming it (and, for a faulty row,
the line) and makes the exit status 1; the other files are still reported.
A path that is not a regular file (a directory, a pipe) is such a file too.
When standard output is closed early (``quillrow-info --json ... | head``),
the command stops quietly with exit status 1.
"""

from __future__ import annotations

import argparse
import errno
import json
import os
import stat
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from typing import Any

import numpy as np

import quillrow

PROG = "quillrow-info"

# More files than this get a progress bar on a terminal.
PROGRESS_AFTER = 3


def check_regular(path: str) -> None:
    """Refuses a path that names something other than a regular file, in words
    that say so: the reader would only say "No such device", and a pipe could
    keep it waiting.  A path that cannot be looked up is left to the reader,
    whose message for it is the one reported."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return
    if stat.S_ISDIR(mode):
        raise NotARegularFile(errno.EISDIR, "Is a directory")
    if not stat.S_ISREG(mode):
        raise NotARegularFile(errno.EINVAL, "Not a regular file")


class NotARegularFile(OSError):
    """A path that is not a regular file; its text is the reason alone."""

    def __str__(self) -> str:
        return str(self.strerror)


def describe(path: str) -> dict[str, Any]:
    """Reads one file and returns its report as plain JSON-ready values."""
    check_regular(path)
    start = time.perf_counter()
    timestamps, values = quillrow.read_sts(path)
    seconds = time.perf_counter() - start
    # After the read, so that a file that cannot be opened is reported in the reader's words.
    size = os.stat(path).st_size

    ms = timestamps.view(np.int64)
    intervals = np.diff(ms)
    return {
        "file": path,
        "rows": len(timestamps),
        "first": str(timestamps[0]),
        "last": str(timestamps[-1]),
        "span_s": int(ms[-1] - ms[0]) / 1000.0,
        # None for a single row: there is no interval to take the median of.
        "cadence_s": float(np.median(intervals)) / 1000.0 if len(intervals) else None,
        "nan_counts": [int(n) for n in np.isnan(values).sum(axis=0)],
        "bytes": size,
        "read_s": seconds,
        "mb_per_s": size / 1e6 / seconds if seconds > 0 else None,
        "rows_per_s": len(timestamps) / seconds if seconds > 0 else None,
    }


def error_line(path: str, error: Exception) -> str:
    """One line that names the file; the reader's own file faults already do."""
    if isinstance(error, ValueError) and path in str(error):
        return str(error)
    return f"{path}: {error}"


def format_span(seconds: float) -> str:
    days, rest = divmod(seconds, 86400.0)
    hours, rest = divmod(rest, 3600.0)
    minutes, rest = divmod(rest, 60.0)
    text = f"{int(hours):02d}:{int(minutes):02d}:{rest:06.3f}"
    return f"{int(days)} d {text}" if days else text


def format_report(report: dict[str, Any]) -> str:
    cadence = report["cadence_s"]
    rate = report["mb_per_s"]
    lines = [
        report["file"],
        f"  rows      {report['rows']}",
        f"  span      {report['first']} .. {report['last']} ({format_span(report['span_s'])})",
        f"  cadence   {'-' if cadence is None else f'{cadence:g} s'} (median interval)",
        f"  NaN       {' '.join(str(n) for n in report['nan_counts'])}",
        f"  read      {report['bytes'] / 1e6:.2f} MB in {report['read_s'] * 1000:.1f} ms"
        + ("" if rate is None else f", {rate:.0f} MB/s, {report['rows_per_s'] / 1e6:.2f} M rows/s"),
    ]
    return "\n".join(lines)


def with_progress(paths: Sequence[str], mode: str) -> tuple[Iterable[str], Callable[..., None]]:
    """The paths to walk, behind a tqdm bar on standard error when one is wanted
    and tqdm is installed, and the function that prints a report without tearing the bar."""
    wanted = mode == "always" or (mode == "auto" and len(paths) > PROGRESS_AFTER and sys.stderr.isatty())
    if wanted:
        try:
            from tqdm import tqdm
        except ImportError:
            pass
        else:
            bar = tqdm(paths, unit="file", file=sys.stderr, leave=False)
            return bar, lambda text, file=sys.stdout: tqdm.write(text, file=file)
    return paths, print


DESCRIPTION = "Row count, time span, cadence, NaN counts and read rate of STS files."


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="STS file to read")
    parser.add_argument("--json", action="store_true", help="print one JSON array of per-file reports")
    parser.add_argument(
        "--progress",
        choices=("auto", "always", "never"),
        default="auto",
        help=f"progress bar over files (auto: more than {PROGRESS_AFTER} files on a terminal; needs tqdm)",
    )


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION)
    add_arguments(parser)
    return parser.parse_args(argv)


def run(
    paths: Iterable[str], write: Callable[..., None], as_json: bool, prog: str = PROG
) -> tuple[list[dict[str, Any]], bool]:
    reports: list[dict[str, Any]] = []
    failed = False
    for path in paths:
        try:
            report = describe(path)
        except (OSError, ValueError, UnicodeError) as error:
            failed = True
            message = error_line(path, error)
            write(f"{prog}: {message}", file=sys.stderr)
            report = {"file": path, "error": message}
        else:
            if not as_json:
                write(format_report(report))
        reports.append(report)
    return reports, failed


def stdout_gone() -> int:
    """After a BrokenPipeError: the reader of standard output has gone (``| head``).
    Points standard output at /dev/null so that the interpreter's own flush at
    exit finds nothing to complain about, and gives the exit status."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    return 1


def run_info(args: argparse.Namespace, prog: str = PROG) -> int:
    """Runs the command on parsed arguments (quillrow-info and ``quillrow info``)."""
    try:
        paths, write = with_progress(args.files, args.progress)
        reports, failed = run(paths, write, args.json, prog)
        if args.json:
            # One report per line, inside one array.
            print("[\n" + ",\n".join(json.dumps(report) for report in reports) + "\n]")
        # Inside the try: a reader that has gone shows here, not at exit.
        sys.stdout.flush()
    except BrokenPipeError:
        return stdout_gone()
    return 1 if failed else 0


def main(argv: Sequence[str] | None = None) -> int:
    return run_info(parse_args(argv))
