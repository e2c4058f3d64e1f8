"""Locations given as fsspec URLs (``s3://``, ``gs://``, ``az://``,
``memory://``, ...): inputs read where they are, and the stamp of a file
(size and modification time) that says whether its entry is current.

Plain paths and ``file://`` URLs stay on the local filesystem's own code
(atomic renames, flock); every other URL goes through fsspec, which also
takes its configuration from the environment (``FSSPEC_S3_...``, AWS_...)."""

from __future__ import annotations

import contextlib
import datetime
import functools
import json
import math
import os
import tempfile
from collections.abc import Iterator
from typing import IO, Any

Options = dict[str, Any]


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
def _filesystem(protocol: str, options: str) -> Any:
    return _fsspec().filesystem(protocol, **json.loads(options))


def filesystem(url: str, options: Options | None) -> tuple[Any, str]:
    """The fsspec filesystem of ``url`` and the path on it; one filesystem
    per protocol and options in each process (its connections are reused)."""
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


def stamp(path: str, options: Options | None) -> tuple[int, int | None]:
    """Size and modification time (ns) of an input file, local or not."""
    if not is_url(path):
        st = os.stat(path)
        return st.st_size, st.st_mtime_ns
    fs, where = filesystem(path, options)
    about = fs.info(where)
    if about.get("type") != "file":
        raise IsADirectoryError(f"{path}: not a file")
    return int(about["size"]), modified_ns(fs, where, about)


@contextlib.contextmanager
def opened(path: str, options: Options | None) -> Iterator[IO[bytes]]:
    """A remote input as a seekable binary file, read as it is used."""
    fs, where = filesystem(path, options)
    with fs.open(where, "rb") as f:
        yield f


def fetched(path: str, options: Options | None) -> bytes | None:
    """A remote input's bytes, fetched whole in one request; None for a local one."""
    if not is_url(path):
        return None
    fs, where = filesystem(path, options)
    return bytes(fs.cat_file(where))


@contextlib.contextmanager
def local_copy(path: str, options: Options | None) -> Iterator[str]:
    """A remote input copied into a temporary local file, removed afterwards
    whatever happens."""
    fs, where = filesystem(path, options)
    suffix = os.path.splitext(where)[1]
    handle, copy = tempfile.mkstemp(prefix="vexolin-", suffix=suffix)
    os.close(handle)
    try:
        fs.get_file(where, copy)
        yield copy
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(copy)
