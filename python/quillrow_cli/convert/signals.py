"""Ctrl-C and SIGTERM during a conversion.

From the moment ``install`` runs (before any heavy import) the first SIGINT
or SIGTERM is remembered and, unless a step that must finish is running,
raised at once as ``Interrupted``, a KeyboardInterrupt that carries the
signal's number: the command then removes what it wrote, stops its cluster,
prints one line and exits with 128 + the number (130, 143).

- ``held()`` wraps the steps that must finish once begun (the start and the
  stop of the cluster, the skeleton of an output, a chunk's write, the
  removal of the partial output, the rename): a signal during one is acted
  on right after it.
- ``children_shielded()`` starts the workers: Ctrl-C reaches every process
  of the terminal's group, and the workers are this process's to stop, not
  the keyboard's.  This process never ignores SIGINT (one that came
  meanwhile would be lost); the workers do, from their start.
- ``check()`` raises a signal that was remembered but whose exception went
  nowhere: a finalizer or a callback that ran when it came swallowed it
  ("Exception ignored in ..."); the command checks before each phase and
  before the rename.  Such swallowed interrupts are not printed.
- ``phase(name)``: the points at which a test may pause the command
  (``QUILLROW_CONVERT_PAUSE=name``, with ``QUILLROW_CONVERT_PHASES=FILE``
  receiving each phase's name as it begins), to deliver a signal there.
"""

from __future__ import annotations

import os
import signal
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType
from typing import Any

SIGNALS = (signal.SIGINT, signal.SIGTERM)


class Interrupted(KeyboardInterrupt):
    """A SIGINT or SIGTERM that ends the conversion."""

    def __init__(self, signum: int) -> None:
        super().__init__(f"signal {signum}")
        self.signum = signum


class State:
    caught: int | None = None
    holding = 0
    installed = False


def handle(signum: int, frame: FrameType | None) -> None:
    del frame
    if State.caught is not None:
        return  # the first one is being acted on already
    State.caught = signum
    if not State.holding:
        raise Interrupted(signum)


def quiet_unraisable(unraisable: Any) -> None:
    """Leaves out the interrupts that a finalizer swallowed: check() raises them."""
    if not isinstance(unraisable.exc_value, Interrupted):
        sys.__unraisablehook__(unraisable)


def install() -> None:
    """Takes over SIGINT and SIGTERM for the rest of the process's life (once)."""
    if State.installed:
        return
    State.caught, State.holding, State.installed = None, 0, True
    for signum in SIGNALS:
        # A signal the command started with ignored (a background job of a
        # script starts so with SIGINT) stays ignored, as Python leaves it.
        if signal.getsignal(signum) is not signal.SIG_IGN:
            signal.signal(signum, handle)
    sys.unraisablehook = quiet_unraisable


def finish() -> None:
    """After the command's outcome is decided: a late signal changes nothing."""
    State.holding += 1


def caught() -> int | None:
    """The signal that came, if one did."""
    return State.caught


def check() -> None:
    if State.caught is not None:
        raise Interrupted(State.caught)


@contextmanager
def held(act_after: bool = True) -> Iterator[None]:
    """Runs the block to its end whatever signal comes; then raises the one that
    came, unless ``act_after`` is False (clean-up on the way out)."""
    State.holding += 1
    try:
        yield
    finally:
        State.holding -= 1
    if act_after and not State.holding:
        check()


@contextmanager
def children_shielded() -> Iterator[None]:
    """Held, and with standard error pointed at /dev/null for the processes
    started in the block (the workers), for their whole life.  A Ctrl-C goes to
    every process of the terminal's group: a worker ignores SIGINT from the
    moment it unpacks its arguments (work.QuietWorker), but one that comes
    while its interpreter starts would print a traceback.  The command reports
    every failure of the workers itself."""
    with held():
        sys.stderr.flush()
        saved = os.dup(2)
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, 2)
            yield
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            os.close(devnull)


def phase(name: str) -> None:
    """Marks the start of a phase, for tests (see the module's text)."""
    trace = os.environ.get("QUILLROW_CONVERT_PHASES")
    if not trace:
        return
    with open(trace, "a") as file:
        file.write(name + "\n")
    if os.environ.get("QUILLROW_CONVERT_PAUSE") == name:
        # Until a signal: raised from the sleep, or, when held, remembered.
        while State.caught is None:
            time.sleep(0.01)
