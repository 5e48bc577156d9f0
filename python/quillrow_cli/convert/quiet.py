"""The plugin that keeps the local cluster's workers quiet (imports distributed)."""

from __future__ import annotations

import logging
import os
import signal
from typing import Any

# distributed has types where it is installed; the lint tools check without it.
from distributed import WorkerPlugin  # type: ignore[import-not-found,unused-ignore]


class QuietWorker(WorkerPlugin):  # type: ignore[misc,unused-ignore]
    """Ctrl-C reaches every process of the terminal's group; the command stops
    its workers itself, so they ignore SIGINT: the worker process unpacks
    this plugin with its arguments, before it starts the worker, and the
    unpacking (``quiet_worker``) ignores SIGINT in any process but the one
    that made the plugin.  A failed task is reported by the command in one
    line: the worker does not log it with its traceback."""

    name = "quillrow-quiet-worker"

    def __init__(self, owner: int | None = None) -> None:
        self.owner = os.getpid() if owner is None else owner

    def __reduce__(self) -> tuple[Any, tuple[int]]:
        return quiet_worker, (self.owner,)

    def setup(self, worker: Any) -> None:
        del worker
        logging.getLogger("distributed.worker").setLevel(logging.CRITICAL)


def quiet_worker(owner: int) -> QuietWorker:
    if os.getpid() != owner:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    return QuietWorker(owner)
