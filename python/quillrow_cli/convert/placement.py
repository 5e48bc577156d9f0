"""Where the output is written: under a temporary name beside OUT, renamed to
OUT only when complete.

The temporary name is OUT.partial-XXXXXXXXXXXX (twelve random hex digits),
made exclusively, so that runs on one volume never share one, whatever
machine or PID namespace they run in.  The run holds an exclusive flock on it
from its creation to its end; a partial output on which a lock can be taken
was left by a run that has gone (killed, or its machine down), and the next
conversion to the same OUT removes it.  Other OUT.partial-* names (an older
version's, made otherwise) are named in a warning and left alone.
"""

from __future__ import annotations

import errno
import fcntl
import os
import re
import secrets
import shutil
import time
from dataclasses import dataclass

from quillrow_cli.convert.base import KeptPartial

SUFFIX = re.compile(r"\.partial-[0-9a-f]{12}")


@dataclass
class Partial:
    """The temporary output of this run, and the descriptor that holds its lock."""

    out: str  # OUT, absolute
    token: str
    lock: int

    @property
    def path(self) -> str:
        return self.beside("partial")

    def beside(self, kind: str) -> str:
        """Another name of this run's beside OUT."""
        return f"{self.out}.{kind}-{self.token}"

    def release(self) -> None:
        if self.lock >= 0:
            os.close(self.lock)
            self.lock = -1


def reserve(out: str, directory: bool) -> Partial:
    """Makes the temporary output beside OUT (an empty directory or file) and locks it."""
    while True:
        token = secrets.token_hex(6)
        path = os.path.abspath(f"{out}.partial-{token}")
        try:
            if directory:
                os.mkdir(path)
                fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
            else:
                fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            continue
        fcntl.flock(fd, fcntl.LOCK_EX)
        return Partial(os.path.abspath(out), token, fd)


def sweep(out: str) -> list[str]:
    """Removes the partial outputs of runs to OUT that have gone; returns a
    warning for each other partial-looking name beside OUT."""
    parent, base = os.path.split(os.path.abspath(out))
    prefix = base + ".partial-"
    warnings = []
    for name in sorted(os.listdir(parent)):
        if not name.startswith(prefix):
            continue
        path = os.path.join(parent, name)
        if SUFFIX.fullmatch(name[len(base) :]) is None:
            warnings.append(
                f"warning: {path} may be left by an earlier conversion; remove it if none is running"
            )
        elif abandoned(path):
            remove(path)
    return warnings


def abandoned(path: str) -> bool:
    """Whether no live run holds the lock of this partial output."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as error:
        if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
            return False
        raise
    finally:
        os.close(fd)
    return True


def remove(path: str) -> None:
    """Removes a file or a directory tree.  A worker of a cluster that outlives
    this run may still be finishing a chunk into the tree: it is removed again
    until it stays gone."""
    for _ in range(10):
        if not os.path.lexists(path):
            return
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
        else:
            os.unlink(path)
        time.sleep(0.1)


def discard(partial: Partial) -> None:
    """Removes the temporary output of a run that failed or was interrupted."""
    remove(partial.path)
    partial.release()


def put_in_place(partial: Partial, out: str, overwrite: bool) -> None:
    """Renames the finished output to OUT; an old OUT goes only once the new one is there."""
    if os.path.lexists(out) and not overwrite:  # it appeared during the run
        kept = partial.beside("complete")
        os.rename(partial.path, kept)
        partial.release()
        raise KeptPartial(f"{out} appeared during the conversion; the result is left as {kept}")
    if not os.path.lexists(out):
        os.rename(partial.path, out)
    else:
        old = partial.beside("old")
        os.rename(out, old)
        os.rename(partial.path, out)
        remove(old)
    partial.release()
