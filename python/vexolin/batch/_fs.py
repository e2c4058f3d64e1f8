"""Locations given as fsspec URLs (``s3://``, ``gs://``, ``az://``,
``memory://``, ...): their filesystems, one per protocol and options in a
process, and a file's modification time as they tell it.

Plain paths and ``file://`` URLs stay on the local filesystem's own code
(atomic renames, flock); every other URL goes through fsspec, which also
takes its configuration from the environment (``FSSPEC_S3_...``, AWS_...).

A location that stops answering (a store restarted, the network gone) is
asked again, with growing waits, for up to ``PATIENCE_S`` in all; then the
run gives up on it with one :class:`Unreachable` error, and requests to it
fail at once (but for one in a while, to see whether it is back), so that a
run's threads do not each wait as long again."""

from __future__ import annotations

import datetime
import functools
import json
import math
import os
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

Options = dict[str, Any]

# How long a location may go without answering before a run gives up on
# it: a restart or a blip of the network is waited out, an endpoint gone for
# good ends the run within about this long (plus the filesystem's own
# retries of the request then under way, a few seconds for s3fs).
PATIENCE_S = 20.0
_FIRST_WAIT_S = 0.25
_LONGEST_WAIT_S = 4.0
# Once given up on, a location is tried again by one request in this long.
_PROBE_S = 30.0


class Unreachable(ConnectionError):
    """A location did not answer for ``PATIENCE_S``: the run stops, as
    every later file would fail too."""


def is_unreachable(error: BaseException) -> bool:
    """Whether ``error`` says the endpoint was not reached or did not answer
    (as opposed to an answer: a missing object, a refusal)."""
    if isinstance(error, Unreachable):
        return False  # given up already: not waited for again
    if isinstance(error, (ConnectionError, TimeoutError)):
        return True
    # The clients' own, where they are loaded (s3fs's botocore, gcsfs's and adlfs's aiohttp).
    botocore = sys.modules.get("botocore.exceptions")
    if botocore is not None and isinstance(error, (botocore.ConnectionError, botocore.HTTPClientError)):
        return True
    aiohttp = sys.modules.get("aiohttp")
    return aiohttp is not None and isinstance(error, aiohttp.ClientConnectionError)


def _unreached_among(result: Any) -> BaseException | None:
    """An error of an unreached endpoint among the values of a batched
    request's result (``cat(..., on_error="return")`` gives errors as values)."""
    if isinstance(result, dict):
        for value in result.values():
            if isinstance(value, BaseException) and is_unreachable(value):
                return value
    return None


class Patient:
    """An fsspec filesystem whose requests are tried again while its
    endpoint does not answer, up to ``PATIENCE_S`` in all (the streak is
    shared by the process's threads, and ends at the first answer); then
    :class:`Unreachable`. After that, requests fail at once, but for one
    every ``_PROBE_S``, tried once to see whether the endpoint is back.
    Attributes other than public methods are the filesystem's own."""

    def __init__(self, fs: Any, endpoint: str) -> None:
        self.fs = fs
        self.endpoint = endpoint
        self._lock = threading.Lock()
        self._since: float | None = None  # when the first unanswered request of the streak was sent
        self._given_up: str | None = None
        self._probed = 0.0

    def __getattr__(self, name: str) -> Any:
        if "fs" not in self.__dict__:  # copied or unpickled: not set up yet
            raise AttributeError(name)
        value = getattr(self.fs, name)
        if name.startswith("_") or not callable(value):
            return value
        return functools.partial(self._call, value)

    def _call(self, fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        wait = _FIRST_WAIT_S
        while True:
            sent = time.monotonic()
            with self._lock:
                probe = self._given_up is not None
                if probe:
                    if sent - self._probed < _PROBE_S:
                        raise Unreachable(self._given_up)
                    self._probed = sent
            try:
                result = fn(*args, **kwargs)
                failed = _unreached_among(result)
                if failed is not None:
                    raise failed
            except Exception as e:
                if not is_unreachable(e):
                    raise
                now = time.monotonic()
                with self._lock:
                    self._since = sent if self._since is None else min(self._since, sent)
                    waited = now - self._since
                    if probe or waited >= PATIENCE_S:
                        self._given_up = (f"cannot reach {self.endpoint}: no answer for {waited:.0f} s "
                                          f"({type(e).__name__}: {e})")
                        self._probed = now
                        raise Unreachable(self._given_up) from None
                time.sleep(min(wait, PATIENCE_S - waited))
                wait = min(2 * wait, _LONGEST_WAIT_S)
                continue
            with self._lock:
                self._since = self._given_up = None
            return result


def _endpoint(protocol: str, options: Options) -> str:
    """The endpoint a filesystem's requests go to, as messages name it."""
    for where in (options, options.get("client_kwargs") or {}):
        if isinstance(where, dict) and where.get("endpoint_url"):
            return str(where["endpoint_url"])
    return f"the {protocol} endpoint"


def is_url(name: str) -> bool:
    """Whether ``name`` is a location for fsspec rather than a local path."""
    return "://" in name and not name.startswith("file://")


def local_path(name: str) -> str:
    """A local path or ``file://`` URL as an absolute path."""
    return os.path.abspath(name[len("file://"):] if name.startswith("file://") else name)


def _fsspec() -> Any:
    try:
        import fsspec  # type: ignore[import-untyped]
    except ImportError:
        raise ImportError("locations such as s3:// need fsspec and the filesystem's package "
                          "(s3fs, gcsfs, adlfs): pip install 'vexolin[batch]' s3fs") from None
    return fsspec


@functools.lru_cache(maxsize=16)
def _filesystem(protocol: str, options: str) -> Patient:
    given = json.loads(options)
    return Patient(_fsspec().filesystem(protocol, **given), _endpoint(protocol, given))


def filesystem(url: str, options: Options | None) -> tuple[Any, str]:
    """The fsspec filesystem of ``url`` (:class:`Patient`) and the path on
    it; one filesystem per protocol and options in each process (its
    connections are reused, and its endpoint's silence is counted once)."""
    fsspec = _fsspec()
    protocol = fsspec.core.split_protocol(url)[0] or "file"
    fs = _filesystem(protocol, json.dumps(options or {}, sort_keys=True))
    return fs, fs._strip_protocol(url)


def modified_ns(fs: Any, path: str, about: dict[str, Any]) -> int | None:
    """A file's modification time in ns, where the filesystem tells one:
    from what its listing or ``info`` gave (S3's ``LastModified``), else
    asked for (one more request on an object store). In whole seconds: S3
    lists times to the millisecond but HEAD gives them to the second, and
    the two must agree."""
    when = about.get("LastModified", about.get("mtime"))
    if not isinstance(when, (datetime.datetime, int, float)):
        try:
            when = fs.modified(path)
        except (NotImplementedError, OSError, KeyError):
            return None
    seconds = when.timestamp() if isinstance(when, datetime.datetime) else float(when)
    return math.floor(seconds) * 10**9
