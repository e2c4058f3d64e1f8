"""Locations given as fsspec URLs (``s3://``, ``gs://``, ``az://``,
``memory://``, ...): their filesystems, one per protocol and options in a
process, and a file's modification time as they tell it.

Plain paths and ``file://`` URLs stay on the local filesystem's own code
(atomic renames, flock); every other URL goes through fsspec, which also
takes its configuration from the environment (``FSSPEC_S3_...``, AWS_...)."""

from __future__ import annotations

import datetime
import functools
import json
import math
import os
from typing import Any

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
