"""A run on a thread pool in this process: a pool thread per file up to the
run's thread budget, records reported as files finish, a local store's
entries placed in groups."""

from __future__ import annotations

import contextlib
import threading
import time
from collections.abc import Callable
from concurrent.futures import FIRST_COMPLETED, Future, wait

from vexolin._cancel import with_token
from vexolin._core import ThreadPool, split_budget
from vexolin._native import Cancel
from vexolin.batch._run import IN_FLIGHT_PER_THREAD, MIN_IN_FLIGHT, Run
from vexolin.batch._work import extract_file
from vexolin.batch.store import FileRecord, Staged

OnRecord = Callable[[FileRecord], None]
Done = tuple[FileRecord, Staged | None]

# Entries staged by the pool are placed after this many files, or this
# long, whichever comes first.
_PLACE_EVERY_FILES = 64
_PLACE_EVERY_S = 1.0
# Pool threads per thread of the budget when files or entries are at URLs.
_THREADS_PER_SLOT_REMOTE = 4


def run_in_threads(paths: list[str], run: Run, on_record: OnRecord) -> None:
    """Files on threads of this process within ``run.threads`` threads in
    all: a pool thread per file up to the budget, and the rest of the budget
    to each file's transform (1 engine thread per pool thread with as many
    files as the budget). With inputs or the store at URLs, four pool
    threads per budget thread, of which only the budget's decode, compute
    and encode at once: the others wait on the network meanwhile. The
    transforms release the interpreter lock.

    Entries the store stages (a local store's), this thread places in groups
    (every 64 files or every second) after one flush of the store's
    filesystem, as a cluster task does: a flush per file costs a short file
    more than its transform. A file is recorded once its entry is in place.

    On Ctrl-C, files not started are dropped and those running are
    cancelled: their transforms stop within a block of work, they write no
    entry and stay unrecorded (pending); the entries already staged are
    placed, and the interruption goes on once they have."""
    todo = iter(paths)
    workers, threads = split_budget(run.threads, len(paths))
    # Files read from or written to a URL wait on the network: more pool
    # threads than the budget then overlap those waits, while no more than
    # the budget's files are decoded, computed or encoded at once.
    remote = run.store.remote or any(run.inputs.is_remote(path) for path in paths)
    computing = threading.BoundedSemaphore(workers) if remote else None
    pool_threads = workers * _THREADS_PER_SLOT_REMOTE if remote else workers
    window = max(MIN_IN_FLIGHT, IN_FLIGHT_PER_THREAD * pool_threads)
    pending: set[Future[Done]] = set()
    pool = ThreadPool(pool_threads, "vexolin-batch")
    token = Cancel()
    waiting: list[tuple[FileRecord, Staged]] = []  # staged, to place
    placed_at = time.monotonic()

    def one(path: str) -> Done:
        return extract_file(path, run, threads=threads, computing=computing)

    def take(result: Done) -> None:
        record, staged = result
        if staged is not None:
            waiting.append((record, staged))
        else:
            on_record(record)

    def place(now: bool) -> None:
        nonlocal placed_at
        if waiting and (now or len(waiting) >= _PLACE_EVERY_FILES or time.monotonic() - placed_at >= _PLACE_EVERY_S):
            group = waiting[:]
            waiting.clear()
            run.store.place_entries([staged for _, staged in group], fsync=run.fsync)
            placed_at = time.monotonic()
            for record, _ in group:
                on_record(record)

    def fill() -> None:
        for path in todo:
            pending.add(pool.submit(with_token, token, one, path))
            if len(pending) >= window:
                return

    try:
        fill()
        while pending:
            done, _ = wait(pending, timeout=_PLACE_EVERY_S, return_when=FIRST_COMPLETED)
            for future in done:
                pending.discard(future)
                take(future.result())
            place(now=False)
            fill()
        place(now=True)
    except BaseException:
        token.cancel()
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
        for future in pending:
            if future.done() and not future.cancelled() and future.exception() is None:
                take(future.result())
        # Whole entries staged before a stop: placed (the run's own error goes on).
        with contextlib.suppress(OSError):
            place(now=True)
        # Not placed: left for the next run to redo.
        run.store.drop_staged(staged for _, staged in waiting)
