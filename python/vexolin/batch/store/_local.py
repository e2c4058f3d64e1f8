"""The feature store in a local folder.

An entry is written whole under ``.partial/`` and renamed into place, so an
entry that exists is complete: a run killed at any point leaves either the
earlier entry, no entry, or the new one, never a part of one. Entries staged
by a run's threads or a cluster task are placed in groups after one flush of
the disk. The lock is an ``flock`` on ``.lock``, which names its holder. The
store's own files are never opened through links.
"""

from __future__ import annotations

import contextlib
import ctypes
import errno
import fcntl
import os
import shutil
import socket
import stat
import uuid
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import zarr

from vexolin._atomic import remove_stale
from vexolin._atomic import staged as renamed_into_place
from vexolin.batch.store._protocol import EntryFiles, Staged
from vexolin.batch.store._shared import ENTRIES, LOCK, METADATA, PARTIAL, TABLE, StoreError
from vexolin.batch.store._validate import DamagedEntry, Scan, inspect_entry, load_json
from vexolin.batch.store._zarr_entry import decode_chunk, decode_entry

# Never opened through a link: a link here would make a run write, or
# delete, outside the store.
_OWN = (LOCK, ENTRIES, PARTIAL, TABLE, METADATA, os.path.join(ENTRIES, METADATA))
_NO_LINK = os.O_NOFOLLOW | os.O_CLOEXEC


def _read_file(name: str, folder: int | None = None) -> bytes:
    """A regular file's bytes, never through a link (ELOOP) and never
    waiting on a pipe put in its place."""
    handle = os.open(name, os.O_RDONLY | os.O_NONBLOCK | _NO_LINK, dir_fd=folder)
    with open(handle, "rb") as f:
        if not stat.S_ISREG(os.fstat(handle).st_mode):
            raise OSError(errno.EINVAL, "not a regular file", name)
        return f.read()


def _open_folder(name: str, folder: int | None = None) -> int:
    return os.open(name, os.O_RDONLY | os.O_DIRECTORY | _NO_LINK, dir_fd=folder)


def _chunk_files(folder: int) -> list[str]:
    return [name for name in os.listdir(folder) if name != METADATA]


def _inspect(entries: int, key: str) -> tuple[dict[str, Any] | None, Any]:
    """:func:`inspect_entry` of the folder ``key`` in the open folder
    ``entries``; a link, or a folder without an entry's metadata, is not an entry."""
    try:
        folder = _open_folder(key, entries)
    except OSError:
        return None, None
    try:
        try:
            document = load_json(_read_file(METADATA, folder))
        except (OSError, ValueError):
            return None, None

        def size_of(name: str) -> int | None:
            try:
                st = os.stat(name, dir_fd=folder, follow_symlinks=False)
            except OSError:
                return None
            return st.st_size if stat.S_ISREG(st.st_mode) else None

        return inspect_entry(document, key, size_of, lambda: _chunk_files(folder))
    finally:
        os.close(folder)


def _write_files(folder: str, files: EntryFiles) -> None:
    os.makedirs(folder)
    for name, data in files:
        with open(os.path.join(folder, name), "xb") as f:
            f.write(data)


def _sync_filesystem(path: str) -> None:
    syncfs = getattr(ctypes.CDLL(None, use_errno=True), "syncfs", None)
    if syncfs is None:  # not Linux
        os.sync()
        return
    handle = os.open(path, os.O_RDONLY)
    try:
        if syncfs(handle) != 0:
            code = ctypes.get_errno()
            raise OSError(code, os.strerror(code), path)
    finally:
        os.close(handle)


@dataclass(frozen=True)
class LocalStore:
    """A store in the folder ``path`` (absolute). On a cluster, a folder
    every worker mounts at the same path."""

    path: str

    @property
    def remote(self) -> bool:
        return False

    @property
    def holder(self) -> str:
        return "a directory"

    def __str__(self) -> str:
        return self.path

    def _entry_dir(self, key: str) -> str:
        return os.path.join(self.path, ENTRIES, key)

    # The location and the group's metadata.

    def exists(self) -> bool:
        return os.path.exists(self.path)

    def is_file(self) -> bool:
        return not os.path.isdir(self.path)

    def check_links(self) -> None:
        for name in _OWN:
            path = os.path.join(self.path, name)
            if os.path.islink(path):
                raise StoreError(f"{path} is a symbolic link; a store's own files and folders are never used "
                                 "through links, which could make a run write or delete outside the store: "
                                 f"put the real {name} there, or write to another store")

    def names(self) -> list[str]:
        return os.listdir(self.path)

    def read_metadata(self) -> Any:
        try:
            return load_json(_read_file(os.path.join(self.path, METADATA)))
        except FileNotFoundError:
            return None

    def create(self, attributes: dict[str, Any]) -> None:
        root = zarr.create_group(store=self.path, zarr_format=3, attributes=attributes)
        root.create_group(ENTRIES)

    # The lock.

    @contextlib.contextmanager
    def lock(self) -> Iterator[str]:
        os.makedirs(self.path, exist_ok=True)
        path = os.path.join(self.path, LOCK)
        try:
            handle = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_NONBLOCK | _NO_LINK, 0o666)
        except OSError as e:
            if e.errno == errno.ELOOP:
                self.check_links()
            raise StoreError(f"{path}: cannot take the store's lock ({e.strerror}); "
                             "remove what is there, or write to another store") from None
        if not stat.S_ISREG(os.fstat(handle).st_mode):
            os.close(handle)
            raise StoreError(f"{path} is not a regular file; remove it, or write to another store")
        with open(handle, "a") as f:
            try:
                fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise StoreError(f"another run is writing to {self.path}; wait for it to end, "
                                 "or write to another store") from None
            owner = f"{socket.gethostname()} pid {os.getpid()} run {uuid.uuid4().hex[:12]}"
            try:
                f.truncate(0)
                f.write(owner)
                f.flush()
                yield owner
            finally:
                f.truncate(0)
                fcntl.flock(f, fcntl.LOCK_UN)

    def lock_owner(self) -> str | None:
        try:
            return _read_file(os.path.join(self.path, LOCK)).decode("utf-8", "replace") or None
        except OSError:
            return None

    # Entries.

    def clear_partial(self) -> None:
        shutil.rmtree(os.path.join(self.path, PARTIAL), ignore_errors=True)
        remove_stale(self.path)  # the table's temporary, of a run killed as it wrote it

    def scan(self) -> Scan:
        scan = Scan()
        top = os.path.join(self.path, ENTRIES)
        try:
            entries = _open_folder(top)
        except FileNotFoundError:
            return scan
        except OSError as e:
            raise StoreError(f"{top}: cannot read the store's entries ({e.strerror})") from None
        try:
            for key in os.listdir(entries):
                scan.add(*_inspect(entries, key))
        finally:
            os.close(entries)
        return scan

    def entry_attrs(self, key: str) -> dict[str, Any] | None:
        try:
            entries = _open_folder(os.path.join(self.path, ENTRIES))
        except OSError:
            return None
        try:
            attrs, found = _inspect(entries, key)
        finally:
            os.close(entries)
        return attrs if isinstance(found, tuple) else None

    def broken_entries(self, wanted: Mapping[str, tuple[tuple[int, ...], list[str]]]) -> dict[str, str]:
        broken = {}
        for key, (chunks, names) in wanted.items():
            try:
                folder = _open_folder(self._entry_dir(key))
            except OSError as e:
                broken[key] = f"its folder cannot be opened ({e.strerror})"
                continue
            try:
                for name in names:
                    decode_chunk(_read_file(name, folder), chunks)
            except (OSError, DamagedEntry) as e:
                broken[key] = str(e)
            finally:
                os.close(folder)
        return broken

    def _discard(self, path: str) -> None:
        """Remove a directory tree by first renaming it, so that it vanishes at once."""
        trash = os.path.join(self.path, PARTIAL, f"old-{uuid.uuid4().hex}")
        try:
            os.makedirs(os.path.dirname(trash), exist_ok=True)
            os.rename(path, trash)
        except FileNotFoundError:
            return
        if os.path.islink(trash):  # only the link goes, never what it points to
            os.unlink(trash)
        else:
            shutil.rmtree(trash, ignore_errors=True)

    def stage_entry(self, key: str, files: EntryFiles) -> Staged:
        """The entry's files written under ``.partial/``, neither flushed nor
        in place yet."""
        partial = os.path.join(self.path, PARTIAL, f".{key}.{uuid.uuid4().hex}.part")
        os.makedirs(os.path.dirname(partial), exist_ok=True)
        try:
            _write_files(partial, files)
        except BaseException:
            shutil.rmtree(partial, ignore_errors=True)
            raise
        return Staged(key, partial)

    def place_entries(self, staged: Sequence[Staged], *, fsync: bool) -> None:
        """Renamed into place; with ``fsync``, after one flush of the store's
        whole filesystem, which costs a task of many short files what one
        file's flushes cost. The renames themselves are not waited for: one
        lost only leaves its file to redo."""
        if fsync and staged:
            _sync_filesystem(self.path)
        for entry in staged:
            target = self._entry_dir(entry.key)
            self._discard(target)
            try:
                os.rename(entry.where, target)
            except OSError as e:
                # Another writer of the same file (a worker thought lost) got
                # there first with the same result; keep its entry.
                if e.errno not in (errno.ENOTEMPTY, errno.EEXIST) or self.entry_attrs(entry.key) is None:
                    raise
                shutil.rmtree(entry.where, ignore_errors=True)

    def drop_staged(self, staged: Iterable[Staged]) -> None:
        for entry in staged:
            shutil.rmtree(entry.where, ignore_errors=True)

    def remove_entry(self, key: str) -> None:
        if os.path.isdir(self._entry_dir(key)):
            self._discard(self._entry_dir(key))

    def read_entry(self, key: str) -> npt.NDArray[np.float32]:
        entries = _open_folder(os.path.join(self.path, ENTRIES))
        try:
            folder = _open_folder(key, entries)
        finally:
            os.close(entries)
        try:
            document = load_json(_read_file(METADATA, folder))

            def read(names: list[str]) -> dict[str, bytes]:
                data = {}
                for name in names:
                    try:
                        data[name] = _read_file(name, folder)
                    except FileNotFoundError:
                        raise DamagedEntry(f"chunk {name} is missing") from None
                return data

            return decode_entry(document, read, lambda: _chunk_files(folder))
        finally:
            os.close(folder)

    # The table.

    def read_table_bytes(self) -> bytes | None:
        path = os.path.join(self.path, TABLE)
        try:
            return _read_file(path)
        except FileNotFoundError:
            return None
        except OSError as e:
            if e.errno == errno.ELOOP:
                self.check_links()
            raise StoreError(f"{path}: cannot read the store's table ({e.strerror}); move it away, "
                             "and the table is rebuilt from the entries") from None

    def write_table_bytes(self, data: bytes) -> None:
        with renamed_into_place(os.path.join(self.path, TABLE)) as partial, open(partial, "xb") as f:
            f.write(data)

    # Files beside the entries: written under a temporary name and renamed
    # into place; never opened through a link.

    def read_extra(self, name: str, start: int | None = None, end: int | None = None) -> bytes | None:
        try:
            handle = os.open(os.path.join(self.path, name), os.O_RDONLY | _NO_LINK)
        except FileNotFoundError:
            return None
        with open(handle, "rb") as f:
            f.seek(start or 0)
            return f.read() if end is None else f.read(max(0, end - (start or 0)))

    def write_extra(self, name: str, data: bytes) -> None:
        path = os.path.join(self.path, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with renamed_into_place(path) as partial, open(partial, "xb") as f:
            f.write(data)

    def remove_extra(self, name: str) -> None:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(self.path, name))
