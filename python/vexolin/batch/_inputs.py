"""A batch run's input files: which files it covers (paths, directories
searched recursively, and glob patterns, each checked before any work), and
:class:`Inputs`, how they are read, locally or through fsspec."""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import IO, Any

from vexolin._folders import AUDIO_SUFFIXES, GLOB_CHARACTERS, is_audio, local_files, warn_unreadable
from vexolin._folders import UnreadableFolderWarning as UnreadableFolderWarning  # where batch's callers look
from vexolin.batch import _fs

# At this many files named one by one in a folder of an object store, the
# folder is listed once (a request per 1000 names) instead of each file being
# asked about (a request each, several times in a run).
_LIST_FOLDER_AT = 16


@dataclass(frozen=True)
class Inputs:
    """Where a run's files are read from: local paths on this machine's
    filesystem, URLs through fsspec with ``options``. Picklable: a cluster's
    tasks read their files themselves."""

    options: _fs.Options = field(default_factory=dict)

    def filesystem(self, url: str) -> tuple[Any, str]:
        """The fsspec filesystem of ``url`` and the path on it."""
        return _fs.filesystem(url, self.options)

    @staticmethod
    def is_remote(path: str) -> bool:
        """Whether reading ``path`` waits on a network."""
        return _fs.is_url(path)

    def stamp(self, path: str) -> tuple[int, int | None]:
        """Size and modification time (ns) of an input file."""
        if not _fs.is_url(path):
            st = os.stat(path)
            return st.st_size, st.st_mtime_ns
        fs, where = self.filesystem(path)
        about = fs.info(where)
        if about.get("type") != "file":
            raise IsADirectoryError(f"{path}: not a file")
        return int(about["size"]), _fs.modified_ns(fs, where, about)

    def is_current(self, path: str, attrs: dict[str, Any]) -> bool:
        """Whether an entry was made from the file as it is now (same size and modification time)."""
        try:
            size, mtime_ns = self.stamp(path)
        except OSError:
            return False
        return bool(size == attrs.get("size") and mtime_ns == attrs.get("mtime_ns"))

    @contextlib.contextmanager
    def opened(self, path: str) -> Iterator[IO[bytes]]:
        """A remote input as a seekable binary file, read as it is used."""
        fs, where = self.filesystem(path)
        with fs.open(where, "rb") as f:
            yield f

    def fetched(self, path: str) -> bytes:
        """A remote input's bytes, fetched whole in one request."""
        fs, where = self.filesystem(path)
        return bytes(fs.cat_file(where))

    @contextlib.contextmanager
    def local_copy(self, path: str) -> Iterator[str]:
        """A remote input copied into a temporary local file, removed
        afterwards whatever happens."""
        fs, where = self.filesystem(path)
        suffix = os.path.splitext(where)[1]
        handle, copy = tempfile.mkstemp(prefix="vexolin-", suffix=suffix)
        os.close(handle)
        try:
            fs.get_file(where, copy)
            yield copy
        finally:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(copy)


def _at_url(url: str, reader: Inputs) -> tuple[list[str], str]:
    """The files a URL names (a file, a folder searched for audio, or a
    pattern) as URLs, and what kind of input it was."""
    fs, where = reader.filesystem(url)
    if GLOB_CHARACTERS & set(where):
        found = [p for p in fs.glob(where) if fs.isfile(p)]
        return [fs.unstrip_protocol(p) for p in found], "pattern"
    try:
        kind = fs.info(where)["type"]
    except FileNotFoundError:
        kind = None
    if kind == "file":
        return [url], "file"
    if kind != "directory":
        raise FileNotFoundError(f"{url}: no such file or directory")
    top = str(where).rstrip("/")
    found = [p for p in fs.find(top) if is_audio(p)
             and not any(part.startswith(".") for part in str(p)[len(top):].split("/"))]
    return [fs.unstrip_protocol(p) for p in found], "directory"


def _list_shared_folders(urls: list[str], reader: Inputs) -> None:
    """A fresh view of the object stores named: earlier listings forgotten,
    and a folder holding many of the files named one by one listed once, so
    that their sizes and times (for the inputs' checks, their stamps and
    opening them) come from that listing instead of a request per file."""
    named: dict[tuple[int, str], int] = {}
    systems: dict[int, Any] = {}
    for url in urls:
        fs, where = reader.filesystem(url)
        systems[id(fs)] = fs
        if not GLOB_CHARACTERS & set(where):
            folder = str(where).rstrip("/").rpartition("/")[0]
            named[id(fs), folder] = named.get((id(fs), folder), 0) + 1
    for fs in systems.values():
        fs.invalidate_cache()
    for (system, folder), count in named.items():
        if count >= _LIST_FOLDER_AT and folder:
            with contextlib.suppress(OSError):  # each file's own check says what is wrong
                systems[system].ls(folder, detail=False)


def find_inputs(inputs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
                reader: Inputs | None = None,
                unreadable: dict[str, str] | None = None) -> list[str]:
    """Absolute paths of the files ``inputs`` names, without repeats, in the
    order given (files found in a directory or by a pattern sorted). fsspec
    URLs (``s3://...``) are listed through ``reader``'s filesystems and stay
    URLs; ``file://`` ones are local paths.

    A path that does not exist, a directory without audio files and a pattern
    that matches nothing raise an error naming it; a file named directly is
    taken whatever its suffix (a bad one fails on its own during the run).
    Folder links below a directory or a pattern's wildcards are not followed;
    a folder there that cannot be read is passed over with one
    :class:`UnreadableFolderWarning` naming it (and added to ``unreadable``
    with the reason).
    """
    reader = reader or Inputs()
    items = [inputs] if isinstance(inputs, (str, os.PathLike)) else list(inputs)
    if not items:
        raise ValueError("inputs is empty: give audio files, directories or glob patterns")
    paths: dict[str, None] = {}
    skipped: dict[str, str] = {}
    _list_shared_folders([item for item in items if isinstance(item, str) and _fs.is_url(item)], reader)
    for item in items:
        name = os.fspath(item)
        if not isinstance(name, str):
            raise TypeError(f"inputs must be paths given as str or os.PathLike, got {item!r}")
        if _fs.is_url(name):
            found, kind = _at_url(name, reader)
            if not found:
                raise ValueError(f"{name}: the pattern matches no files" if kind == "pattern" else
                                 f"{name}: the directory holds no audio files "
                                 f"(searched recursively for {', '.join(sorted(AUDIO_SUFFIXES))})")
            for path in sorted(found):
                paths.setdefault(path, None)
            continue
        name = _fs.local_path(name) if name.startswith("file://") else name
        found = local_files(name, skipped)
        for path in sorted(found) if len(found) > 1 else found:
            paths.setdefault(os.path.abspath(path), None)
    warn_unreadable(skipped, 3)  # find_inputs' caller's caller
    if unreadable is not None:
        unreadable.update(skipped)
    return list(paths)
