"""Running a batch: the files still to do go to a thread pool in this
process or, as one task per file, to a Dask cluster; records come back as
files finish, feed the progress bar, and make the table."""

from __future__ import annotations

import asyncio
import contextlib
import itertools
import sys
import time
import uuid
from collections.abc import Callable
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from typing import Any

from tqdm import tqdm

from vexolin._core import split_budget
from vexolin.batch._store import done_row, entry_key, is_current, read_entry_attrs
from vexolin.batch._work import extract_file

Record = dict[str, Any]
OnRecord = Callable[[Record], None]

# Futures in flight at once: enough to keep every worker busy, few enough
# that a million files do not become a million futures.
_MIN_IN_FLIGHT = 64
_IN_FLIGHT_PER_THREAD = 4
CONNECT_TIMEOUT_S = 5.0
_HANDSHAKE_SLACK_S = 0.5


def run_in_threads(paths: list[str], out: str, params: dict[str, Any], budget: int, on_record: OnRecord) -> None:
    """Files on threads of this process within ``budget`` threads in all: a
    pool thread per file up to the budget, and the rest of the budget to each
    file's transform (1 engine thread per pool thread with as many files as
    the budget). The transforms release the interpreter lock. On Ctrl-C,
    files not started are dropped and those running are finished and
    recorded before the interruption goes on."""
    todo = iter(paths)
    workers, threads = split_budget(budget, len(paths))
    window = max(_MIN_IN_FLIGHT, _IN_FLIGHT_PER_THREAD * workers)
    pending: set[Future[Record]] = set()
    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="vexolin-batch")

    def fill() -> None:
        for path in todo:
            pending.add(pool.submit(extract_file, path, out, params, threads))
            if len(pending) >= window:
                return

    try:
        fill()
        while pending:
            done, _ = wait(pending, return_when=FIRST_COMPLETED)
            for future in done:
                pending.discard(future)
                on_record(future.result())
            fill()
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
        for future in pending:
            if future.done() and not future.cancelled() and future.exception() is None:
                on_record(future.result())


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


def run_on_cluster(paths: list[str], out: str, params: dict[str, Any], client: Any, on_record: OnRecord) -> None:
    """One Dask task per file; each worker reads its files and writes their
    entries itself, so only paths and small records pass through here."""
    distributed = _distributed()

    def window() -> int:  # a cluster can grow or shrink while it works
        return max(_MIN_IN_FLIGHT, _IN_FLIGHT_PER_THREAD * int(sum(client.nthreads().values())))

    run = uuid.uuid4().hex[:12]
    todo = iter(paths)
    running: dict[Any, str] = {}

    def submit(count: int) -> list[Any]:
        # In batches: one message to the scheduler for many tasks.
        batch = list(itertools.islice(todo, count))
        # One engine thread per task: a worker runs as many tasks at once as it has threads.
        futures = client.map(extract_file, batch, out=out, params=params, threads=1, retries=0,
                             key=[f"vexolin-{run}-{entry_key(path)}" for path in batch]) if batch else []
        running.update(zip(futures, batch))
        return futures

    finished = 0
    try:
        size = window()
        futures = distributed.as_completed(submit(size))
        for future in futures:
            path = running.pop(future)
            if future.status == "finished":
                on_record(future.result())
            elif future.status != "error" and client.status != "running":
                raise ConnectionError(f"the client is {client.status}")
            else:
                error = future.exception() if future.status == "error" else f"the task was {future.status}"
                on_record(_lost_task_record(out, path, error))
            future.release()
            finished += 1
            if finished % _MIN_IN_FLIGHT == 0:
                size = window()
            if len(running) <= size // 2:
                futures.update(submit(size - len(running)))
    except Exception as e:
        raise ConnectionError(
            f"lost the Dask cluster after {finished} of {len(paths)} files ({type(e).__name__}: {e}); "
            "every file finished is in the store: run again to do the rest") from e
    finally:
        if running:
            with contextlib.suppress(Exception):  # the client may be gone already
                client.cancel(list(running))


def _lost_task_record(out: str, path: str, error: BaseException | str) -> Record:
    # A worker can die after writing an entry but before the scheduler hears
    # of it; that entry is whole and counts.
    attrs = read_entry_attrs(out, entry_key(path))
    if attrs is not None and is_current(path, attrs):
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
