"""Running a batch: the files still to do go to a thread pool in this
process or, as one task per file, to a Dask cluster; records come back as
files finish, feed the progress bar, and make the table."""

from __future__ import annotations

import asyncio
import contextlib
import itertools
import logging
import shutil
import sys
import threading
import time
import uuid
from collections.abc import Callable, Iterator
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from typing import Any

from tqdm import tqdm

from vexolin._cancel import with_token
from vexolin._core import split_budget
from vexolin._native import Cancel
from vexolin.batch._fs import Options, is_url, stamp
from vexolin.batch._object_store import ObjectStore
from vexolin.batch._store import Out, done_row, entry_key, is_current, place_entries, read_entry_attrs
from vexolin.batch._work import StoreFull, extract_file, extract_files

Record = dict[str, Any]
OnRecord = Callable[[Record], None]

# Futures in flight at once: enough to keep every worker busy, few enough
# that a million files do not become a million futures.
_MIN_IN_FLIGHT = 64
_IN_FLIGHT_PER_THREAD = 4
# A cluster task takes files until their audio reaches this many seconds:
# the scheduler's cost per task (a few ms) is then spread over many short files.
TASK_SECONDS = 300.0
# Bytes per second of audio assumed when grouping, low for each kind of file
# so that a task's audio is overestimated rather than under: 8 kHz 16-bit
# mono PCM, 64 kbit/s lossy.
_BYTES_PER_SECOND = {".mp3": 8000, ".ogg": 8000, ".oga": 8000, ".opus": 8000, ".flac": 8000}
_PCM_BYTES_PER_SECOND = 16000
_MAX_FILES_PER_TASK = 1000
CONNECT_TIMEOUT_S = 5.0
# A local store's entries staged by the pool are placed after this many
# files, or this long, whichever comes first.
_PLACE_EVERY_FILES = 64
_PLACE_EVERY_S = 1.0
# Pool threads per thread of the budget when files or entries are at URLs.
_THREADS_PER_SLOT_REMOTE = 4
_HANDSHAKE_SLACK_S = 0.5


def run_in_threads(paths: list[str], out: Out, params: dict[str, Any], budget: int, on_record: OnRecord,
                   storage_options: Options | None = None, fsync: bool = True) -> None:
    """Files on threads of this process within ``budget`` threads in all: a
    pool thread per file up to the budget, and the rest of the budget to each
    file's transform (1 engine thread per pool thread with as many files as
    the budget). With inputs or the store at URLs, four pool threads per
    budget thread, of which only the budget's decode, compute and encode at
    once: the others wait on the network meanwhile. The transforms release
    the interpreter lock.

    In a local store the pool threads stage their entries, and this thread
    places them in groups (every 64 files or every second) after one flush of
    the store's filesystem, as a cluster task does: a flush per file costs a
    short file more than its transform. A file is recorded once its entry
    is in place.

    On Ctrl-C, files not started are dropped and those running are
    cancelled: their transforms stop within a block of work, they write no
    entry and stay unrecorded (pending); the entries already staged are
    placed, and the interruption goes on once they have."""
    todo = iter(paths)
    workers, threads = split_budget(budget, len(paths))
    # Files read from or written to a URL wait on the network: more pool
    # threads than the budget then overlap those waits, while no more than
    # the budget's files are decoded, computed or encoded at once.
    remote = isinstance(out, ObjectStore) or any(is_url(path) for path in paths)
    computing = threading.BoundedSemaphore(workers) if remote else None
    pool_threads = workers * _THREADS_PER_SLOT_REMOTE if remote else workers
    window = max(_MIN_IN_FLIGHT, _IN_FLIGHT_PER_THREAD * pool_threads)
    pending: set[Future[tuple[Record, list[tuple[str, str]]]]] = set()
    pool = ThreadPoolExecutor(max_workers=pool_threads, thread_name_prefix="vexolin-batch")
    token = Cancel()
    waiting: list[tuple[Record, list[tuple[str, str]]]] = []  # staged, to place
    placed_at = time.monotonic()

    def one(path: str) -> tuple[Record, list[tuple[str, str]]]:
        staged: list[tuple[str, str]] = []
        record = extract_file(path, out, params, threads, storage_options, fsync,
                              staged if isinstance(out, str) else None, None, computing)
        return record, staged

    def take(result: tuple[Record, list[tuple[str, str]]]) -> None:
        if result[1]:
            waiting.append(result)
        else:
            on_record(result[0])

    def place(now: bool) -> None:
        nonlocal placed_at
        if waiting and (now or len(waiting) >= _PLACE_EVERY_FILES or time.monotonic() - placed_at >= _PLACE_EVERY_S):
            group = waiting[:]
            waiting.clear()
            place_entries(str(out), [entry for _, staged in group for entry in staged], fsync=fsync)
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
        for _, staged in waiting:  # not placed: left for the next run to redo
            for partial, _ in staged:
                shutil.rmtree(partial, ignore_errors=True)


def connect(scheduler: Any) -> tuple[Any, bool]:
    """A ``distributed.Client`` for ``scheduler`` (a client, or an address),
    and whether it was made here (and is to be closed here)."""
    distributed = _distributed()
    if isinstance(scheduler, distributed.Client):
        return scheduler, False
    if not isinstance(scheduler, str):
        raise TypeError(f"client must be a distributed.Client or a scheduler address, got {scheduler!r}")
    try:
        # A bare handshake first: a Client that fails to start lingers and
        # stalls the interpreter's exit for its own close timeout. On a
        # thread of its own, as the caller may be inside an event loop (Jupyter).
        with ThreadPoolExecutor(max_workers=1) as probe:
            probe.submit(asyncio.run, _handshake(scheduler)).result()
        return distributed.Client(scheduler, timeout=CONNECT_TIMEOUT_S, set_as_default=False), True
    except _NotAScheduler as e:
        raise ConnectionError(f"{scheduler} is not a Dask scheduler: {e}; something else listens there "
                              "(a scheduler's port is usually 8786, its dashboard's 8787)") from None
    except (OSError, TimeoutError) as e:
        raise ConnectionError(f"cannot reach the Dask scheduler at {scheduler} "
                              f"within {CONNECT_TIMEOUT_S:g} s: {e}") from None
    except ValueError as e:
        raise ValueError(f"{scheduler!r} is not a scheduler address such as tcp://host:8786 ({e})") from None
    except Exception as e:  # something answered, but not as a scheduler does
        raise ConnectionError(f"{scheduler} did not answer as a Dask scheduler "
                              f"({type(e).__name__}: {e})") from None


# Cluster runs going on in this process, and the levels Dask's loggers had
# before the first of them began.
_quiet_lock = threading.Lock()
_quiet_runs = 0
_dask_levels: dict[str, int] = {}


@contextlib.contextmanager
def quiet_dask_logs() -> Iterator[None]:
    """Dask's log lines in this process held back for a run, as its records
    and its one error say what happened: a scheduler lost midway makes the
    client log a page of reconnection tracebacks first. Critical ones still
    show; the levels come back when the last run in this process ends."""
    global _quiet_runs
    with _quiet_lock:
        if _quiet_runs == 0:
            names = {"distributed", *(name for name in logging.Logger.manager.loggerDict
                                      if name.startswith("distributed."))}
            for name in names:
                logger = logging.getLogger(name)
                _dask_levels[name] = logger.level
                logger.setLevel(logging.CRITICAL)
        _quiet_runs += 1
    try:
        yield
    finally:
        with _quiet_lock:
            _quiet_runs -= 1
            if _quiet_runs == 0:
                for name, level in _dask_levels.items():
                    logging.getLogger(name).setLevel(level)
                _dask_levels.clear()


def _distributed() -> Any:
    try:
        import distributed
    except ImportError:
        raise ImportError("a Dask cluster needs dask and distributed: pip install 'vexolin[batch]'") from None
    return distributed


class _NotAScheduler(Exception):
    """A peer took the connection but did not give a Dask handshake."""


async def _handshake(address: str) -> None:
    distributed = _distributed()
    # connect's timeout covers reaching the peer, not its reply: a peer that
    # accepts and never answers (an HTTP server, a silent port) would be waited
    # for forever. The slack lets connect's own timeout report an unreachable
    # host first.
    try:
        async with asyncio.timeout(CONNECT_TIMEOUT_S + _HANDSHAKE_SLACK_S):
            comm = await distributed.comm.connect(address, timeout=CONNECT_TIMEOUT_S)
    except TimeoutError:
        raise _NotAScheduler(f"it took the connection but sent no handshake "
                             f"within {CONNECT_TIMEOUT_S:g} s") from None
    except distributed.comm.CommClosedError:  # connect retries these until it reaches the peer
        raise _NotAScheduler("it took the connection and closed it without a handshake") from None
    except (OSError, ValueError):  # not reached, or not an address
        raise
    except Exception:  # e.g. an HTTP reply read as a frame header of exabytes
        raise _NotAScheduler("it answered with something other than a handshake") from None
    await comm.close()


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


def run_on_cluster(paths: list[str], out: Out, params: dict[str, Any], client: Any, on_record: OnRecord,
                   storage_options: Options | None = None, task_seconds: float = TASK_SECONDS,
                   lock: str | None = None, fsync: bool = True) -> None:
    """Files in Dask tasks of about ``task_seconds`` of audio each (0: one
    file per task); each worker reads its files and writes their entries
    itself, so only paths and small records pass through here."""
    distributed = _distributed()

    def threads() -> int:  # a cluster can grow or shrink while it works
        return int(sum(client.nthreads().values()))

    def window() -> int:
        return max(_MIN_IN_FLIGHT, _IN_FLIGHT_PER_THREAD * threads())

    run = uuid.uuid4().hex[:12]
    sizes = [_size(path, storage_options) for path in paths]
    todo = iter(group_files(paths, sizes, task_seconds, _IN_FLIGHT_PER_THREAD * max(1, threads())))
    running: dict[Any, list[str]] = {}

    def submit(count: int) -> list[Any]:
        # In batches: one message to the scheduler for many tasks.
        batch = list(itertools.islice(todo, count))
        # One engine thread per file: a worker runs as many files at once as it has threads.
        futures = client.map(extract_files, batch, out=out, params=params, run=lock, storage_options=storage_options,
                             fsync=fsync, retries=0, key=[f"vexolin-{run}-{entry_key(group[0])}-{len(group)}"
                                             for group in batch]) if batch else []
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
                if isinstance(error, StoreFull):
                    raise error
                records = [_lost_task_record(out, path, error, storage_options) for path in group]
            future.release()
            reporting = True
            for record in records:
                on_record(record)
            reporting = False
            finished += len(group)
            tasks += 1
            if tasks % _MIN_IN_FLIGHT == 0:
                size = window()
            if len(running) <= size // 2:
                futures.update(submit(size - len(running)))
    except StoreFull:
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


def _size(path: str, storage_options: Options | None) -> int:
    try:
        return stamp(path, storage_options)[0]
    except OSError:  # gone or unreadable: its task says why
        return 0


def _lost_task_record(out: Out, path: str, error: BaseException | str, storage_options: Options | None) -> Record:
    # A worker can die after writing an entry but before the scheduler hears
    # of it; that entry is whole and counts.
    attrs = read_entry_attrs(out, entry_key(path))
    if attrs is not None and is_current(path, attrs, storage_options):
        return done_row(attrs)
    return {"path": path, "status": "failed",
            "error": f"the task failed on the cluster: "
                     f"{error if isinstance(error, str) else f'{type(error).__name__}: {error}'}"}


class Progress:
    """Files done, hours of audio and speed on a terminal bar; quiet elsewhere."""

    def __init__(self, total: int, show: bool) -> None:
        self._bar = tqdm(total=total, unit="file", file=sys.stderr, disable=not show, dynamic_ncols=True)
        self._audio = 0.0
        self._started = time.perf_counter()

    def __call__(self, record: Record) -> None:
        self._audio += record.get("seconds") or 0.0
        elapsed = max(time.perf_counter() - self._started, 1e-9)
        self._bar.set_postfix_str(f"{self._audio / 3600:.2f} h of audio, {self._audio / elapsed:.0f}x real time",
                                  refresh=False)
        self._bar.update(1)

    def note(self, text: str) -> None:
        self._bar.write(text, file=sys.stderr)

    def close(self) -> None:
        self._bar.close()
