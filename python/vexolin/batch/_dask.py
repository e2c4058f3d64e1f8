"""A Dask client for a run or a search: the scheduler reached (or told
apart from something else listening there), the workers asked once for what
the tasks need, Dask's own log lines held back while a run goes on. Imports
nothing of the package's top, so that what the top imports can use it."""

from __future__ import annotations

import asyncio
import contextlib
import logging
import threading
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any

from vexolin.batch import _fs

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
    distributed = load_distributed()
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


def load_distributed() -> Any:
    try:
        import dask  # noqa: F401
        import distributed
    except ImportError as e:
        raise MissingPackage(f"a Dask cluster needs dask and distributed, and this environment lacks {e.name}: "
                             "pip install 'vexolin[batch]'", name=e.name) from None
    return distributed


def check_client() -> None:
    """Whether this process can run a cluster's client: dask and distributed."""
    load_distributed()


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
    distributed = load_distributed()
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
