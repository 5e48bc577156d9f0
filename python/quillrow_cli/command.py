"""quillrow: the command line of the quillrow distribution.

    quillrow --version
    quillrow info FILE...                          what is in STS files (as quillrow-info)
    quillrow convert SRC... OUT --to zarr|netcdf|parquet
                                                   an archive into one Zarr, NetCDF or Parquet output

``quillrow COMMAND --help`` describes each; quillrow_cli.info and
quillrow_cli.convert say more.  Only light modules are imported here: the
converter sets up its handling of signals before it imports anything heavy.
"""

from __future__ import annotations

import sys
from collections.abc import Sequence

# Light: the standard library alone.
from quillrow_cli.convert import signals


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    if arguments[:1] == ["convert"]:
        # Ctrl-C counts from here on: the parser and the modules below come
        # after, and a signal meanwhile is acted on once the run has begun.
        signals.install()
    with signals.held(act_after=False):
        import argparse
        from importlib.metadata import version

        from quillrow_cli import info
        from quillrow_cli.convert import command as convert

        parser = argparse.ArgumentParser(prog="quillrow", description="Read, describe and convert STS files.")
        parser.add_argument("--version", action="version", version=f"%(prog)s {version('quillrow')}")
        commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
        described = commands.add_parser(
            "info",
            help="row count, span, cadence, NaN counts and read rate",
            description=info.DESCRIPTION,
        )
        info.add_arguments(described)
        into = commands.add_parser(
            "convert",
            help="an archive into one Zarr, NetCDF or Parquet output",
            description=convert.DESCRIPTION,
            epilog=convert.EPILOG,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        convert.add_arguments(into)
        args = parser.parse_args(arguments)
    if args.command == "info":
        return info.run_info(args, prog="quillrow info")
    return convert.run(args)
