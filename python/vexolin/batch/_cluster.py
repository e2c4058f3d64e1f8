"""A run on a Dask cluster (the client and the workers checked by
``_dask``): files gathered into tasks of about ``task_seconds`` of audio,
each task reading its files and writing their entries on a worker, records
coming back as tasks finish."""

from __future__ import annotations

import contextlib
import itertools
import uuid
from collections.abc import Callable
from typing import Any

from vexolin.batch import _fs
from vexolin.batch._dask import load_distributed as _distributed
from vexolin.batch._run import IN_FLIGHT_PER_THREAD, MIN_IN_FLIGHT, Run
from vexolin.batch._work import StoreFull, extract_files
from vexolin.batch.store import FileRecord, done_row, entry_key

OnRecord = Callable[[FileRecord], None]

# Bytes per second of audio assumed when grouping, low for each kind of file
# so that a task's audio is overestimated rather than under: 8 kHz 16-bit
# mono PCM, 64 kbit/s lossy.
_BYTES_PER_SECOND = {".mp3": 8000, ".ogg": 8000, ".oga": 8000, ".opus": 8000, ".flac": 8000}
_PCM_BYTES_PER_SECOND = 16000
_MAX_FILES_PER_TASK = 1000


def _estimated_seconds(path: str, size: int) -> float:
    suffix = path[path.rfind("."):].lower() if "." in path.rsplit("/", 1)[-1] else ""
    return size / _BYTES_PER_SECOND.get(suffix, _PCM_BYTES_PER_SECOND)


def group_files(paths: list[str], sizes: list[int], task_seconds: float, tasks_at_least: int) -> list[list[str]]:
    """Consecutive files in tasks of about ``task_seconds`` of audio each
    (estimated from their sizes, on the high side), a long file alone; at
    least ``tasks_at_least`` tasks when there are that many files, so every
    worker thread gets work."""
    most = max(1, min(_MAX_FILES_PER_TASK, len(paths) // max(1, tasks_at_least)))
    groups: list[list[str]] = []
    current: list[str] = []
    seconds = 0.0
    for path, size in zip(paths, sizes):
        estimate = _estimated_seconds(path, size)
        if current and (seconds + estimate > task_seconds or len(current) >= most):
            groups.append(current)
            current, seconds = [], 0.0
        current.append(path)
        seconds += estimate
    if current:
        groups.append(current)
    return groups


def run_on_cluster(paths: list[str], run: Run, client: Any, on_record: OnRecord) -> None:
    """Files in Dask tasks of about ``run.task_seconds`` of audio each (0:
    one file per task); each worker reads its files and writes their entries
    itself, so only paths and small records pass through here."""
    distributed = _distributed()

    def threads() -> int:  # a cluster can grow or shrink while it works
        return int(sum(client.nthreads().values()))

    def window() -> int:
        return max(MIN_IN_FLIGHT, IN_FLIGHT_PER_THREAD * threads())

    name = uuid.uuid4().hex[:12]
    sizes = [_size(path, run) for path in paths]
    todo = iter(group_files(paths, sizes, run.task_seconds, IN_FLIGHT_PER_THREAD * max(1, threads())))
    running: dict[Any, list[str]] = {}

    def submit(count: int) -> list[Any]:
        # In batches: one message to the scheduler for many tasks.
        batch = list(itertools.islice(todo, count))
        # One engine thread per file: a worker runs as many files at once as it has threads.
        futures = client.map(extract_files, batch, run=run, retries=0,
                             key=[f"vexolin-{name}-{entry_key(group[0])}-{len(group)}" for group in batch]) \
            if batch else []
        running.update(zip(futures, batch))
        return futures

    finished = tasks = 0
    reporting = False  # an error while reporting a record is ours, not the cluster's
    try:
        size = window()
        # With this client's loop: a client made from an address is not the
        # default one, and as_completed would look for that.
        futures = distributed.as_completed(submit(size), loop=client.loop)
        for future in futures:
            group = running.pop(future)
            if future.status == "finished":
                records = future.result()
            elif future.status != "error" and client.status != "running":
                raise ConnectionError(f"the client is {client.status}")
            else:
                error = future.exception() if future.status == "error" else f"the task was {future.status}"
                if isinstance(error, (StoreFull, _fs.Unreachable)):
                    raise error
                records = [_lost_task_record(run, path, error) for path in group]
            future.release()
            reporting = True
            for record in records:
                on_record(record)
            reporting = False
            finished += len(group)
            tasks += 1
            if tasks % MIN_IN_FLIGHT == 0:
                size = window()
            if len(running) <= size // 2:
                futures.update(submit(size - len(running)))
    except (StoreFull, _fs.Unreachable):
        raise
    except Exception as e:
        if reporting:
            raise
        raise ConnectionError(
            f"lost the Dask cluster after {finished} of {len(paths)} files ({type(e).__name__}: {e}); "
            "every file finished is in the store: run again to do the rest") from e
    finally:
        if running:
            with contextlib.suppress(Exception):  # the client may be gone already
                client.cancel(list(running))


def _size(path: str, run: Run) -> int:
    try:
        return run.inputs.stamp(path)[0]
    except OSError:  # gone or unreadable: its task says why
        return 0


def _lost_task_record(run: Run, path: str, error: BaseException | str) -> FileRecord:
    # A worker can die after writing an entry but before the scheduler hears
    # of it; that entry is whole and counts.
    attrs = run.store.entry_attrs(entry_key(path))
    if attrs is not None and run.inputs.is_current(path, attrs):
        return done_row(attrs)
    return {"path": path, "status": "failed",
            "error": f"the task failed on the cluster: "
                     f"{error if isinstance(error, str) else f'{type(error).__name__}: {error}'}"}
