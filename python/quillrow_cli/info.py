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
import json
import os
import sys
import time
from collections.abc import Sequence
from typing import Any

from quillrow_cli.common import Progress, add_progress_argument, check_regular, error_line

PROG = "quillrow-info"

# More files than this get a progress bar on a terminal.
PROGRESS_AFTER = 3


def describe(path: str) -> dict[str, Any]:
    """Reads one file and returns its report as plain JSON-ready values."""
    # Here, not at the top: ``quillrow convert`` imports this module's parser
    # before it has set up its handling of signals.
    import numpy as np

    import quillrow

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


DESCRIPTION = "Row count, time span, cadence, NaN counts and read rate of STS files."


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="STS file to read")
    parser.add_argument("--json", action="store_true", help="print one JSON array of per-file reports")
    add_progress_argument(parser, f"more than {PROGRESS_AFTER} files on a terminal")


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION)
    add_arguments(parser)
    return parser.parse_args(argv)


def run(
    paths: Sequence[str], progress: Progress, as_json: bool, prog: str = PROG
) -> tuple[list[dict[str, Any]], bool]:
    reports: list[dict[str, Any]] = []
    failed = False
    progress.start(total=len(paths), unit="file", leave=False)
    for path in paths:
        try:
            report = describe(path)
        except (OSError, ValueError, UnicodeError) as error:
            failed = True
            message = error_line(path, error)
            progress.say(f"{prog}: {message}")
            report = {"file": path, "error": message}
        else:
            if not as_json:
                progress.say(format_report(report), file=sys.stdout)
        reports.append(report)
        progress.update(1)
    progress.stop()
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
        progress = Progress(args.progress, auto_wanted=len(args.files) > PROGRESS_AFTER)
        reports, failed = run(args.files, progress, args.json, prog)
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
