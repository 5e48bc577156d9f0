"""quillrow: the command line of the quillrow distribution.

    quillrow --version
    quillrow info FILE...                          what is in STS files (as quillrow-info)
    quillrow convert SRC... OUT --to zarr|netcdf|parquet
                                                   an archive into one Zarr, NetCDF or Parquet output

``quillrow COMMAND --help`` describes each; quillrow_cli and
quillrow_cli.convert say more.
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from importlib.metadata import version

import quillrow_cli
from quillrow_cli import convert


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="quillrow", description="Read, describe and convert STS files.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {version('quillrow')}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    info = commands.add_parser(
        "info",
        help="row count, span, cadence, NaN counts and read rate",
        description=quillrow_cli.DESCRIPTION,
    )
    quillrow_cli.add_arguments(info)
    into = commands.add_parser(
        "convert",
        help="an archive into one Zarr, NetCDF or Parquet output",
        description=convert.DESCRIPTION,
        epilog=convert.EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    convert.add_arguments(into)
    args = parser.parse_args(argv)
    if args.command == "info":
        return quillrow_cli.run_info(args, prog="quillrow info")
    return convert.run(args)
