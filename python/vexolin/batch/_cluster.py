"""A run on a Dask cluster: the client and the workers checked for what
the run needs, files gathered into tasks of about ``task_seconds`` of audio,
each task reading its files and writing their entries on a worker, records
coming back as tasks finish."""

from __future__ import annotations

import asyncio
import contextlib
import itertools
import logging
import threading
import uuid
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any

from vexolin.batch import _fs
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
CONNECT_TIMEOUT_S = 5.0
_HANDSHAKE_SLACK_S = 0.5
# What a task imports on a worker: the package and what it reads files,
# writes the store and pins native thread pools with.
_TASK_PACKAGES = ("numpy", "soundfile", "soxr", "tqdm", "zarr", "numcodecs", "threadpoolctl", "vexolin")


class MissingPackage(ImportError, ValueError):
    """The environment of the run's client or workers lacks a package the run
    needs; the message names it and where. A ValueError too, as the run's
    other refusals before any work are."""


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
        import dask  # noqa: F401
        import distributed
    except ImportError as e:
        raise MissingPackage(f"a Dask cluster needs dask and distributed, and this environment lacks {e.name}: "
                             "pip install 'vexolin[batch]'", name=e.name) from None
    return distributed


def check_client() -> None:
    """Whether this process can run a cluster's client: dask and distributed."""
    _distributed()


def _probe() -> Callable[[list[str], list[str]], list[str]]:
    """What a worker lacks among packages and fsspec protocols. Made here, so
    that it is sent by value: it runs where vexolin itself may be missing."""

    def lacking(packages: list[str], protocols: list[str]) -> list[str]:
        import importlib

        missing = []
        for name in packages:
            try:
                importlib.import_module(name)
            except ImportError as e:
                missing.append(e.name or name)
        for protocol in protocols:
            try:
                importlib.import_module("fsspec").get_filesystem_class(protocol)
            except ImportError as e:
                missing.append(e.name or f"the package of {protocol}:// ({e})")
        return sorted(set(missing))

    return lacking


def check_workers(client: Any, locations: list[str]) -> None:
    """Ask every worker once whether it can import what a task needs,
    including the filesystems of ``locations`` at URLs; MissingPackage
    naming what lacks where, before anything is written or sent."""
    protocols = sorted({name.split("://", 1)[0] for name in locations if _fs.is_url(name)})
    packages = [*_TASK_PACKAGES, *(["fsspec"] if protocols else [])]
    try:
        # A worker that does not answer (leaving, say) is not asked again: its tasks go elsewhere.
        found = client.run(_probe(), packages, protocols, on_error="return")
    except Exception as e:
        raise ConnectionError(f"cannot ask the Dask workers what they have installed "
                              f"({type(e).__name__}: {e})") from e
    lacks: dict[tuple[str, ...], list[str]] = {}
    for worker, missing in found.items():
        if isinstance(missing, list) and missing:
            lacks.setdefault(tuple(missing), []).append(str(worker))
    if lacks:
        missing, workers = next(iter(lacks.items()))
        where = workers[0] if len(workers) == 1 else f"{workers[0]} and {len(workers) - 1} more"
        raise MissingPackage(f"the Dask workers cannot run vexolin's tasks: {where} lacks {', '.join(missing)}; "
                             "install vexolin with its batch extra where the workers run "
                             "(pip install 'vexolin[batch]'), then run again; no file was sent",
                             name=missing[0])


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
