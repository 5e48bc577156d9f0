"""What the info and convert commands share: the check that a path is a regular
file, the one-line error for a file, and the progress bar."""

from __future__ import annotations

import argparse
import errno
import os
import stat
import sys
from typing import Any


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


def error_line(path: str, error: Exception) -> str:
    """One line that names the file; the reader's own file faults already do."""
    if isinstance(error, ValueError) and path in str(error):
        return str(error)
    return f"{path}: {error}"


def add_progress_argument(parser: argparse.ArgumentParser, when: str) -> None:
    """The ``--progress`` option; ``when`` says what ``auto`` means for the command."""
    parser.add_argument(
        "--progress",
        choices=("auto", "always", "never"),
        default="auto",
        help=f"progress bar on standard error (auto: {when}; needs tqdm)",
    )


class Progress:
    """A tqdm bar on standard error when wanted and tqdm is installed, and
    printing that does not tear it.

    ``mode`` is the ``--progress`` choice; with ``auto`` the bar shows only
    when standard error is a terminal and ``auto_wanted`` holds."""

    def __init__(self, mode: str, auto_wanted: bool = True) -> None:
        self.enabled = mode == "always" or (mode == "auto" and auto_wanted and sys.stderr.isatty())
        self.bar: Any = None

    def start(self, **options: Any) -> None:
        self.stop()
        if self.enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                self.enabled = False
                return
            self.bar = tqdm(file=sys.stderr, dynamic_ncols=True, **options)

    def update(self, count: int, **postfix: Any) -> None:
        if self.bar is not None:
            if postfix:
                self.bar.set_postfix(postfix, refresh=False)
            self.bar.update(count)

    def stop(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None

    def say(self, text: str, file: Any = None) -> None:
        """Prints a line (to standard error by default) above the bar."""
        file = sys.stderr if file is None else file
        if self.bar is not None:
            self.bar.write(text, file=file)
        else:
            print(text, file=file)
