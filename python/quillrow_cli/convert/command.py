"""quillrow convert: an archive of STS files into one Zarr store, NetCDF file or Parquet file.

    quillrow convert SRC... OUT --to zarr|netcdf|parquet
                     [--workers N | --scheduler ADDRESS] [--chunk-rows N]
                     [--overwrite] [--progress auto|always|never]

SRC is a file, a directory (its ``*.sts`` files) or a glob pattern; the files
are taken in the order of their names (daily files are named by date), a
file named twice only once.  Their rows follow one another in OUT in that
order, as ``read_sts`` gives them.

The files are read on a Dask cluster: a local one of N worker processes
(``--workers``, default the number of CPUs this process may run on), or the
one behind an existing scheduler (``--scheduler tcp://HOST:PORT``), whose
workers must see the source paths and OUT under the same names and have
quillrow[convert] installed.  Each file is read twice, both times on a
worker: once to check it and take its times and header, once to write its
values; a file that changes in between fails the conversion.  The workers
write a Zarr store's chunks themselves; the chunks of a NetCDF or Parquet
file, which have one writer, travel to this process to be written, a few at
a time.

OUT, chunked along time by ``--chunk-rows`` rows (default 86400, a day of
one-second rows), holds

- Zarr (zarr 3) and NetCDF (HDF5, through h5netcdf): the variable ``values``
  (float32, dims ``(time, channel)``), the coordinates ``time``
  (datetime64[ms], stored as int64 milliseconds since 1970-01-01) and
  ``channel`` (the channel names when the headers name the columns, else
  0..10), ``units`` along ``channel`` when they are named, and the
  attributes ``sources`` (the files, in order), ``source_rows`` (their row
  counts) and ``headers`` (each file's header text), lists for one file
  too; NetCDF, where an attribute of one element reads back as that
  element, has them also as coordinates along ``source``;
  Zarr chunks are stored channel by channel, shuffled and compressed with
  Zstandard (Blosc); NetCDF chunks shuffled and deflated (level 1);
- Parquet: one row per time, a ``time`` column (timestamp[ms]) and one
  float32 column per channel, named after it ("0".."10" when unnamed) with
  its unit as the field's ``units`` metadata; the schema metadata holds
  ``quillrow.sources``, ``quillrow.source_rows`` and ``quillrow.headers`` as
  JSON lists.  One row group per chunk; the values stored with their bytes
  split by significance (BYTE_STREAM_SPLIT) and Zstandard.

Every value keeps its bits (NaN payloads and -0.0 included): no fill value
and no scaling.

Read back, ``xr.open_zarr(OUT)`` and ``xr.open_dataset(OUT)`` give the times
as datetime64[ns]; ``decode_times=xr.coders.CFDatetimeCoder(time_unit="ms")``
keeps them in milliseconds as read_sts gives them.  ``pyarrow.parquet.read_table(OUT)``
reads the Parquet file (``.to_pandas()`` for a DataFrame).

A file that cannot be read gets one line on standard error (the reader's
message, which names the file) and is left out, as is a file whose name is
not UTF-8 and one whose header the format cannot hold (NetCDF: a NUL byte); the others are converted,
a summary names the files left out, and the exit status is 1.  Files that
name their channels differently are not mixed: the conversion is refused,
naming the first file that differs.

OUT is written under a unique temporary name beside it (OUT.partial-
and twelve hex digits) and renamed only when complete, so an interrupted or
failed conversion never leaves an OUT that looks whole; the temporary is
removed on failure (a full disk: one line naming OUT and the cause, exit
status 1), Ctrl-C and SIGTERM (exit status 130 and 143, one line; a signal
that comes while a step that must finish runs takes effect right after it).
A run killed outright (SIGKILL) leaves its temporary; the next conversion
to the same OUT removes it (quillrow_cli.convert.placement).  An existing OUT
is replaced only with ``--overwrite``, and only once the new one is
complete.

A progress bar on standard error (tqdm) counts the files checked, then the
rows written and the files done, with the rates; by default only when
standard error is a terminal.  Needs the ``convert`` extra:
``pip install "quillrow[convert]"``.
"""

from __future__ import annotations

import argparse
import errno
import importlib
import os
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from quillrow_cli.common import Progress, add_progress_argument
from quillrow_cli.convert import signals
from quillrow_cli.convert.base import PROG, ConvertError, KeptPartial
from quillrow_cli.convert.sinks import FORMATS

if TYPE_CHECKING:
    from quillrow_cli.convert.archive import Archive
    from quillrow_cli.convert.sinks import Sink
    from quillrow_cli.convert.work import Scan

DEFAULT_CHUNK_ROWS = 86_400
# What every conversion runs on, besides its format's writers.
REQUIRES = ("numpy", "quillrow", "distributed", "tqdm")


def import_requirements(fmt: str) -> str | None:
    """Imports what the run needs; the message for a module that is missing."""
    from quillrow_cli.convert.sinks import sink_class

    for module in (*REQUIRES, *sink_class(fmt).REQUIRES):
        try:
            importlib.import_module(module)
        except ImportError as error:
            return f'{PROG}: {module} cannot be imported ({error}): pip install "quillrow[convert]"'
    return None


def convert(args: argparse.Namespace, progress: Progress) -> int:
    from quillrow_cli.convert import placement, schedule
    from quillrow_cli.convert.sinks import sink_class
    from quillrow_cli.convert.sources import expand_sources

    # "days.zarr/" names days.zarr: the temporary goes beside it, not inside.
    out: str = os.path.normpath(args.out)
    if os.path.lexists(out) and not args.overwrite:
        raise ConvertError(f"{out} exists: choose another name or pass --overwrite")
    parent = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(parent):
        raise ConvertError(f"{parent}: no such directory for the output")
    for warning in placement.sweep(out):
        progress.say(f"{PROG}: {warning}")
    paths = expand_sources(args.sources)
    sink_type = sink_class(args.to)

    partial = None
    try:
        with schedule.cluster(args.workers, args.scheduler) as client:
            signals.check()
            archive, scans = check_files(client, paths, sink_type, progress)
            with signals.held():
                partial = placement.reserve(out, sink_type.DIRECTORY)
                signals.phase("skeleton")
                sink = sink_type(partial.path, archive, args.chunk_rows)
            try:
                schedule.write_all(client, archive, sink, args.chunk_rows, progress)
                with signals.held():
                    sink.close()
            finally:
                with signals.held(act_after=False):
                    sink.close()
        signals.phase("rename")
        # An interrupt that a finalizer swallowed still ends the run here.
        signals.check()
        with signals.held():
            placement.put_in_place(partial, out, args.overwrite)
    except KeptPartial:
        raise
    except BaseException:
        with signals.held(act_after=False):
            progress.stop()
            if partial is not None:
                placement.discard(partial)
        raise
    return summary(out, archive, scans)


def check_files(
    client: Any, paths: list[str], sink_type: type[Sink], progress: Progress
) -> tuple[Archive, list[Scan]]:
    """Checks every file on the workers: the archive of those that can be
    converted, and every file's scan (a fault for those left out)."""
    from quillrow_cli.convert import schedule
    from quillrow_cli.convert.archive import make_archive, out_of_order
    from quillrow_cli.convert.sources import name_fault, printable
    from quillrow_cli.convert.work import Scan

    found = [None if (fault := name_fault(p)) is None else Scan(printable(p), error=fault) for p in paths]
    scans = [
        refused(s, sink_type.refuse(s), progress) for s in schedule.scan_all(client, found, paths, progress)
    ]
    good = [s for s in scans if s.error is None]
    if not good:
        raise ConvertError("no file could be read: nothing written")
    archive = make_archive(good)
    if archive.rows == 0:
        raise ConvertError("the files hold no rows: nothing written")
    for warning in out_of_order(archive):
        progress.say(f"{PROG}: {warning}")
    return archive, scans


def summary(out: str, archive: Archive, scans: list[Scan]) -> int:
    """Says what was written and what was left out; the exit status."""
    print(f"{PROG}: {len(archive.files)} files, {archive.rows} rows -> {out}", file=sys.stderr)
    skipped = [s for s in scans if s.error is not None]
    if not skipped:
        return 0
    print(f"{PROG}: left out {len(skipped)} of {len(scans)} files that could not be read:", file=sys.stderr)
    for scan in skipped:
        print(f"  {scan.path}", file=sys.stderr)
    return 1


def refused(scan: Scan, reason: str | None, progress: Progress) -> Scan:
    """The scan, or, for a file the format cannot store, the scan as a fault."""
    from quillrow_cli.convert.work import Scan

    if scan.error is not None or reason is None:
        return scan
    progress.say(f"{PROG}: {reason}")
    return Scan(scan.path, error=reason)


def cause(error: Exception) -> str:
    """The cause of a failure in a few words: an operating system's error in its
    words (a full disk, a quota), else the exception's first line."""
    number = getattr(error, "errno", None)
    if isinstance(number, int) and number in errno.errorcode:
        return os.strerror(number)
    first = str(error).strip().splitlines()
    return f"{type(error).__name__}: {first[0]}" if first else type(error).__name__


# --- Command line ----------------------------------------------------------------


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


DESCRIPTION = (
    "Convert STS files, read in parallel on a Dask cluster, into one Zarr store, NetCDF or Parquet file."
)


EPILOG = """\
OUT is written under a unique temporary name beside it and renamed once complete.
A file that cannot be read is reported on standard error and left out; a summary
lists it. Exit status: 0 done; 1 files left out, or refused, or failed (a full
disk); 2 usage, or the convert extra missing; 130 interrupted (Ctrl-C); 143
terminated (SIGTERM)."""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "sources", nargs="+", metavar="SRC", help="STS file, directory of *.sts files, or glob"
    )
    parser.add_argument("out", metavar="OUT", help="output path (a directory for zarr, a file otherwise)")
    parser.add_argument("--to", choices=FORMATS, required=True, help="output format")
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--workers",
        type=positive,
        metavar="N",
        help="worker processes of a local cluster (default: the CPU count)",
    )
    where.add_argument(
        "--scheduler", metavar="ADDRESS", help="use the Dask cluster of this scheduler instead"
    )
    parser.add_argument(
        "--chunk-rows",
        type=positive,
        default=DEFAULT_CHUNK_ROWS,
        metavar="N",
        help=f"rows per chunk / row group along time (default {DEFAULT_CHUNK_ROWS})",
    )
    parser.add_argument("--overwrite", action="store_true", help="replace OUT if it exists, once done")
    add_progress_argument(parser, "when it is a terminal")


def run(args: argparse.Namespace) -> int:
    """Runs ``quillrow convert`` on parsed arguments.  Exit status: 0 done; 1
    done without the files that could not be read, or refused, or failed; 2
    the extra is not installed (or, from argparse, a usage error); 130
    interrupted (Ctrl-C), 143 terminated (SIGTERM)."""
    # First of all, before the imports that take seconds.
    signals.install()
    try:
        # A signal that came while the command line was read.
        signals.check()
        signals.phase("imports")
        missing = import_requirements(args.to)
        if missing is not None:
            print(missing, file=sys.stderr)
            return 2
        return convert(args, Progress(args.progress))
    except (Exception, KeyboardInterrupt) as error:
        signum = signals.caught()
        if signum is not None:
            # Whatever broke on the way out (a worker stopped, a task cut
            # short) follows from the signal.
            print(f"{PROG}: interrupted; nothing written to {args.out}", file=sys.stderr)
            return 128 + signum
        if isinstance(error, KeyboardInterrupt):
            raise
        if isinstance(error, ConvertError):
            print(f"{PROG}: {error}", file=sys.stderr)
        else:
            # A full disk, a worker lost for good, ...: one line, and no output.
            message = f"conversion to {args.out} failed: {cause(error)}; nothing written"
            print(f"{PROG}: {message}", file=sys.stderr)
        return 1
    finally:
        signals.finish()


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add_arguments(parser)
    return run(parser.parse_args(argv))
