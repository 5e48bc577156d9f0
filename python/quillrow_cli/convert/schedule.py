"""The work on the cluster: the cluster itself, the check of every file, and
the values read and written chunk by chunk."""

from __future__ import annotations

import bisect
import logging
import os
from collections.abc import Iterator, Sequence
from contextlib import ExitStack, contextmanager
from typing import Any

import numpy as np

from quillrow_cli.common import Progress
from quillrow_cli.convert import signals
from quillrow_cli.convert.archive import Archive
from quillrow_cli.convert.base import PROG, untyped
from quillrow_cli.convert.sinks import Sink
from quillrow_cli.convert.work import Piece, Scan, read_values, scan_file

# Clients and futures carry no type information.
Client = Any
Future = Any


@contextmanager
def cluster(workers: int | None, scheduler: str | None) -> Iterator[Client]:
    """A client of the scheduler given, or of a local cluster started for the run
    and stopped at its end, whatever the end."""
    distributed = untyped("distributed")
    from quillrow_cli.convert.quiet import QuietWorker

    with ExitStack() as stack:
        try:
            if scheduler is not None:
                client = stack.enter_context(distributed.Client(scheduler))
            else:
                with signals.children_shielded():
                    signals.phase("cluster")
                    local = stack.enter_context(
                        distributed.LocalCluster(
                            n_workers=workers or default_workers(),
                            threads_per_worker=1,
                            processes=True,
                            host="127.0.0.1",
                            dashboard_address=None,
                            # No dashboard; the scheduler's small HTTP server (health checks)
                            # takes any free port rather than warning that 8787 is taken.
                            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                            silence_logs=logging.ERROR,
                            plugins={QuietWorker()},
                        )
                    )
                    client = stack.enter_context(distributed.Client(local))
            yield client
        finally:
            # Stopping the cluster is not cut short: no worker outlives the run.
            with signals.held(act_after=False):
                stack.close()


def default_workers() -> int:
    return len(os.sched_getaffinity(0))


def scan_all(client: Client, scans: list[Scan | None], paths: list[str], progress: Progress) -> list[Scan]:
    """Checks the files whose scans are missing (None) on the workers; every
    faulty one is reported in file order."""
    as_completed = untyped("distributed").as_completed

    progress.start(total=len(paths), unit="file", desc="check")
    todo = [i for i, scan in enumerate(scans) if scan is None]
    progress.update(len(paths) - len(todo))
    futures = client.map(scan_file, [paths[i] for i in todo], pure=False)
    order = {future.key: index for index, future in zip(todo, futures, strict=True)}
    # Each result leaves the workers once it is here: only as_completed holds the futures.
    arriving = as_completed(futures)
    del futures
    signals.phase("check")
    reported = report_ready(scans, 0, progress)
    for future in arriving:
        signals.check()
        scans[order[future.key]] = future.result()
        progress.update(1)
        reported = report_ready(scans, reported, progress)
    progress.stop()
    return [s for s in scans if s is not None]


def report_ready(scans: list[Scan | None], reported: int, progress: Progress) -> int:
    """Reports the faults of the scans in order up to the first still missing."""
    while reported < len(scans) and (scan := scans[reported]) is not None:
        if scan.error is not None:
            progress.say(f"{PROG}: {scan.error}")
        reported += 1
    return reported


def plan_chunks(rows: Sequence[int], chunk_rows: int) -> list[list[tuple[int, int, int]]]:
    """For each chunk of ``chunk_rows`` rows (the last one shorter), the
    (file index, first row, end row) of the files it spans."""
    chunks: list[list[tuple[int, int, int]]] = []
    current: list[tuple[int, int, int]] = []
    room = chunk_rows
    for index, count in enumerate(rows):
        lo = 0
        while lo < count:
            take = min(room, count - lo)
            current.append((index, lo, lo + take))
            lo += take
            room -= take
            if room == 0:
                chunks.append(current)
                current, room = [], chunk_rows
    if current:
        chunks.append(current)
    return chunks


def write_all(client: Client, archive: Archive, sink: Sink, chunk_rows: int, progress: Progress) -> None:
    """Reads the values on the workers and writes them chunk by chunk, a few
    chunks in flight, each file's matrix dropped once its last chunk is done."""
    wait = untyped("distributed").wait

    files = archive.files
    chunks = plan_chunks([f.rows for f in files], chunk_rows)
    starts = [i * chunk_rows for i in range(len(chunks))]
    uses = [0] * len(files)
    for chunk in chunks:
        for index, _, _ in chunk:
            uses[index] += 1
    ends = list(np.cumsum([f.rows for f in files]))
    window = 2 * max(1, len(client.scheduler_info().get("workers", {})))
    task = sink.chunk_task()

    matrices: dict[int, Future] = {}
    in_flight: dict[Future, int] = {}
    finished: dict[int, Any] = {}
    next_chunk = next_write = rows_done = 0
    progress.start(total=archive.rows, unit="row", unit_scale=True, desc="write")
    signals.phase("write")
    while next_write < len(chunks):
        signals.check()
        while next_chunk < len(chunks) and len(in_flight) < window:
            pieces: list[Piece] = []
            for index, lo, hi in chunks[next_chunk]:
                if index not in matrices:
                    scan = files[index]
                    matrices[index] = client.submit(read_values, scan.path, scan.version(), pure=False)
                pieces.append((matrices[index], lo, hi))
            in_flight[client.submit(task, starts[next_chunk], pieces, pure=False)] = next_chunk
            next_chunk += 1
        done, _ = wait(list(in_flight), return_when="FIRST_COMPLETED")
        for future in done:
            number = in_flight.pop(future)
            finished[number] = future.result()
            for index, _, _ in chunks[number]:
                uses[index] -= 1
                if uses[index] == 0:
                    del matrices[index]
        while next_write in finished:
            with signals.held():
                sink.write(starts[next_write], finished.pop(next_write))
            rows = sum(hi - lo for _, lo, hi in chunks[next_write])
            rows_done += rows
            progress.update(rows, files=f"{bisect.bisect_right(ends, rows_done)}/{len(files)}")
            next_write += 1
    progress.stop()
