"""The feature store: one Zarr group on a filesystem, an array per file
under ``entries/``, and a table of every input, ``files.csv``.

On a local filesystem an entry is written whole under ``.partial/`` and
renamed into place, so an entry that exists is complete: a run killed at any
point leaves either the earlier entry, no entry, or the new one, never a part
of one. At an fsspec URL (``_object_store``), where renames are not atomic,
an entry's metadata is written after its chunks and marks it complete. Every
function here takes the store as a local path or an ``ObjectStore``.
"""

from __future__ import annotations

import contextlib
import csv
import ctypes
import errno
import fcntl
import os
import shutil
import socket
import stat
import uuid
from collections.abc import Iterable, Iterator
from typing import Any

import numpy as np
import numpy.typing as npt
import zarr

from vexolin._atomic import staged
from vexolin.batch import _fs
from vexolin.batch._object_store import LockHeld, ObjectStore
from vexolin.batch._params import describe
from vexolin.batch._table import COLUMNS, parse_table
from vexolin.batch._validate import DamagedEntry, Scan, inspect_entry, load_json
from vexolin.batch._validate import entry_key as entry_key  # the name every module uses
from vexolin.batch._zarr_entry import decode_chunk, decode_entry, encode_entry

Out = str | ObjectStore

FORMAT = "vexolin-features"
FORMAT_VERSION = 1
ENTRIES = "entries"
PARTIAL = ".partial"
TABLE = "files.csv"
TABLE_COLUMNS = COLUMNS
LOCK = ".lock"
METADATA = "zarr.json"
# Never opened through a link: a link here would make a run write, or
# delete, outside the store.
_OWN = (LOCK, ENTRIES, PARTIAL, TABLE, METADATA, os.path.join(ENTRIES, METADATA))
_NO_LINK = os.O_NOFOLLOW | os.O_CLOEXEC


class StoreError(ValueError):
    """``out`` cannot hold this run's features; nothing in it was changed."""


def location(out: str | os.PathLike[str], storage_options: _fs.Options | None) -> Out:
    """A store given as a path or URL: a local path, or an ``ObjectStore``."""
    name = os.fspath(out)
    if _fs.is_url(name):
        fs, where = _fs.filesystem(name, storage_options)
        return ObjectStore(fs.unstrip_protocol(where).rstrip("/"), dict(storage_options or {}))
    return _fs.local_path(name)


def entry_dir(out: str, key: str) -> str:
    return os.path.join(out, ENTRIES, key)


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


def refuse_links(out: str) -> None:
    """Refuse a local store where one of its own files or folders is a link."""
    for name in _OWN:
        path = os.path.join(out, name)
        if os.path.islink(path):
            raise StoreError(f"{path} is a symbolic link; a store's own files and folders are never used "
                             "through links, which could make a run write or delete outside the store: "
                             f"put the real {name} there, or write to another store")


def _root_metadata(out: Out) -> dict[str, Any] | None:
    try:
        if isinstance(out, ObjectStore):
            document = out.read_json(METADATA)
            if document is None:
                return None
        else:
            document = load_json(_read_file(os.path.join(out, METADATA)))
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as e:
        raise StoreError(f"{out}: cannot read the store's metadata ({e})") from None
    about = document.get("attributes", {}).get(FORMAT) if isinstance(document, dict) else None
    if not isinstance(about, dict) or not isinstance(about.get("params"), dict):
        raise StoreError(f"{out} is a Zarr store not made by vexolin batch; write to another path")
    return about


def stored_params(out: Out) -> dict[str, Any]:
    """The parameters a store was made with."""
    if isinstance(out, ObjectStore) and not out.exists() or isinstance(out, str) and not os.path.isdir(out):
        raise FileNotFoundError(f"{out}: no such feature store")
    if isinstance(out, str):
        refuse_links(out)
    about = _root_metadata(out)
    if about is None:
        raise StoreError(f"{out} is not a vexolin feature store (it has no zarr.json)")
    params: dict[str, Any] = about["params"]
    return params


def check_store(out: Out, params: dict[str, Any]) -> bool:
    """Whether ``out`` can take features made with ``params``; True when it
    already holds some. Reads only: a refused store is left as it was."""
    if isinstance(out, ObjectStore):
        if not out.exists():
            return False
        if out.is_file():
            raise StoreError(f"{out} is a file; the output must be a location for a Zarr store")
    elif not os.path.exists(out):
        return False
    elif not os.path.isdir(out):
        raise StoreError(f"{out} is a file; the output must be a directory for a Zarr store")
    else:
        refuse_links(out)
    about = _root_metadata(out)
    if about is None:
        names = out.names() if isinstance(out, ObjectStore) else os.listdir(out)
        if any(not name.startswith(".") for name in names):
            raise StoreError(f"{out} is a directory that is not a feature store; "
                             "give a new or an empty directory")
        return False
    if about.get("version") != FORMAT_VERSION:
        raise StoreError(f"{out} was written in store format {about.get('version')!r}, "
                         f"this vexolin reads format {FORMAT_VERSION}; write to another path")
    if about["params"] != params:
        differ = {k: v for k, v in about["params"].items() if params.get(k, object()) != v}
        wanted = {k: params[k] for k in differ if k in params}
        raise StoreError(
            f"{out} holds features made with {describe(differ)}, but this run asks for {describe(wanted)}; "
            "entries made differently cannot be mixed: write these to a new store (another --out / out= path), "
            f"or delete {out} to start it again")
    return True


def create_store(out: Out, params: dict[str, Any], version: str) -> None:
    """Make the group and its ``entries`` group."""
    attributes = {FORMAT: {"version": FORMAT_VERSION, "params": params, "vexolin": version}}
    if isinstance(out, ObjectStore):  # the metadata Zarr writes for these groups
        out.write_json({"zarr_format": 3, "node_type": "group", "attributes": {}}, ENTRIES, "zarr.json")
        out.write_json({"zarr_format": 3, "node_type": "group", "attributes": attributes}, "zarr.json")
        return
    root = zarr.create_group(store=out, zarr_format=3,
                             attributes={FORMAT: {"version": FORMAT_VERSION, "params": params,
                                                  "vexolin": version}})
    root.create_group(ENTRIES)


@contextlib.contextmanager
def run_lock(out: Out) -> Iterator[str]:
    """Held by a run for its length, so that two runs never write one store
    at once; gives the run's name, which the lock holds while it is held."""
    if isinstance(out, ObjectStore):
        try:
            with out.lock(LOCK) as owner:
                yield owner
        except LockHeld as e:
            raise StoreError(str(e)) from None
        return
    path = os.path.join(out, LOCK)
    try:
        handle = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_NONBLOCK | _NO_LINK, 0o666)
    except OSError as e:
        if e.errno == errno.ELOOP:
            refuse_links(out)
        raise StoreError(f"{path}: cannot take the store's lock ({e.strerror}); "
                         "remove what is there, or write to another store") from None
    if not stat.S_ISREG(os.fstat(handle).st_mode):
        os.close(handle)
        raise StoreError(f"{path} is not a regular file; remove it, or write to another store")
    with open(handle, "a") as f:
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise StoreError(f"another run is writing to {out}; wait for it to end, "
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


def lock_owner(out: Out) -> str | None:
    """The run holding the store's lock, if any. A task of a run that has
    ended (its client interrupted or gone) stops taking files when this is
    no longer its run."""
    if isinstance(out, ObjectStore):
        return out.owner(LOCK)
    try:
        return _read_file(os.path.join(out, LOCK)).decode("utf-8", "replace") or None
    except OSError:
        return None


def clear_partial(out: Out) -> None:
    """Drop what killed writers left half-done (at a URL, they are overwritten)."""
    if isinstance(out, ObjectStore):
        return
    shutil.rmtree(os.path.join(out, PARTIAL), ignore_errors=True)


def read_entry_attrs(out: Out, key: str) -> dict[str, Any] | None:
    """The attributes of a whole entry, or None when there is none."""
    if isinstance(out, ObjectStore):
        return out.read_entry_attrs(ENTRIES, key)
    try:
        entries = _open_folder(os.path.join(out, ENTRIES))
    except OSError:
        return None
    try:
        attrs, found = _inspect_local(entries, key)
    finally:
        os.close(entries)
    return attrs if isinstance(found, tuple) else None


def _inspect_local(entries: int, key: str) -> tuple[dict[str, Any] | None, Any]:
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


def _chunk_files(folder: int) -> list[str]:
    return [name for name in os.listdir(folder) if name != METADATA]


def is_current(path: str, attrs: dict[str, Any], storage_options: _fs.Options | None = None) -> bool:
    """Whether an entry was made from the file as it is now (same size and modification time)."""
    try:
        size, mtime_ns = _fs.stamp(path, storage_options)
    except OSError:
        return False
    return bool(size == attrs.get("size") and mtime_ns == attrs.get("mtime_ns"))


def done_row(attrs: dict[str, Any]) -> dict[str, Any]:
    """The table row of a file with an entry."""
    return {"path": attrs["source"], "status": "done", "frames": attrs.get("frames"),
            "seconds": attrs.get("duration"), "compute_seconds": attrs.get("compute_seconds"),
            "sr": attrs.get("sr"), "channels": attrs.get("channels"), "size": attrs.get("size"),
            "mtime_ns": attrs.get("mtime_ns")}


def scan_entries(out: Out) -> Scan:
    """Every entry, whole or damaged, by source path."""
    if isinstance(out, ObjectStore):
        return out.scan_entries(ENTRIES)
    scan = Scan()
    try:
        entries = _open_folder(os.path.join(out, ENTRIES))
    except FileNotFoundError:
        return scan
    except OSError as e:
        raise StoreError(f"{os.path.join(out, ENTRIES)}: cannot read the store's entries ({e.strerror})") from None
    try:
        for key in os.listdir(entries):
            scan.add(*_inspect_local(entries, key))
    finally:
        os.close(entries)
    return scan


def list_entries(out: Out) -> dict[str, dict[str, Any]]:
    """Every whole entry's attributes, by source path."""
    return scan_entries(out).whole


def broken_entries(out: Out, scan: Scan, sources: Iterable[str]) -> dict[str, str]:
    """Among whole entries of ``sources``, those whose chunks do not decode
    (a flipped byte keeps a chunk's size, and only its checksum tells), with
    what is wrong. Every chunk is read; at a URL, in few batched requests."""
    wanted = {entry_key(source): (source, *scan.chunks[source]) for source in sources}
    if isinstance(out, ObjectStore):
        found = out.broken_entries(ENTRIES, {key: (chunks, names) for key, (_, chunks, names) in wanted.items()})
        return {wanted[key][0]: problem for key, problem in found.items()}
    broken = {}
    for key, (source, chunks, names) in wanted.items():
        try:
            folder = _open_folder(os.path.join(out, ENTRIES, key))
        except OSError as e:
            broken[source] = f"its folder cannot be opened ({e.strerror})"
            continue
        try:
            for name in names:
                decode_chunk(_read_file(name, folder), chunks)
        except (OSError, DamagedEntry) as e:
            broken[source] = str(e)
        finally:
            os.close(folder)
    return broken


def _discard(path: str) -> None:
    """Remove a directory tree by first renaming it, so that it vanishes at once."""
    trash = os.path.join(os.path.dirname(os.path.dirname(path)), PARTIAL, f"old-{uuid.uuid4().hex}")
    try:
        os.makedirs(os.path.dirname(trash), exist_ok=True)
        os.rename(path, trash)
    except FileNotFoundError:
        return
    if os.path.islink(trash):  # only the link goes, never what it points to
        os.unlink(trash)
    else:
        shutil.rmtree(trash, ignore_errors=True)


def _sync(path: str) -> None:
    handle = os.open(path, os.O_RDONLY)
    try:
        os.fsync(handle)
    finally:
        os.close(handle)


# An entry's files by name, its metadata last; possibly made as they are
# written (a long file's chunks, computed as its frames arrive).
EntryFiles = Iterable[tuple[str, bytes]]


def write_entry(out: Out, key: str, values: npt.NDArray[np.float32], attrs: dict[str, Any], *,
                fsync: bool = True) -> None:
    """:func:`write_entry_files` of an entry holding ``values``."""
    write_entry_files(out, key, encode_entry(values, attrs).items(), fsync=fsync)


def write_entry_files(out: Out, key: str, files: EntryFiles, *, fsync: bool = True) -> None:
    """Write an entry beside the store and rename it into place, replacing an
    older one (at a URL: in place, its metadata last). With ``fsync``, its
    files and then its folder reach the disk before the rename: a power cut
    cannot leave an entry in place whose chunks never reached the disk. The
    rename itself is not waited for: lost, it only leaves the file to redo."""
    if isinstance(out, ObjectStore):
        out.write_entry(ENTRIES, key, files)
        return
    target = entry_dir(out, key)
    try:
        with staged(target, scratch=os.path.join(out, PARTIAL)) as partial:
            _write_files(partial, files, fsync)
            if fsync:
                _sync(partial)
            _discard(target)
    except FileExistsError:
        # Another writer of the same file (a worker thought lost) got there
        # first with the same result; keep its entry.
        if read_entry_attrs(out, key) is None:
            raise


def _write_files(folder: str, files: EntryFiles, fsync: bool) -> None:
    os.makedirs(folder)
    for name, data in files:
        with open(os.path.join(folder, name), "xb") as f:
            f.write(data)
            if fsync:
                f.flush()
                os.fdatasync(f.fileno())  # the data and the size, not the times


def stage_entry(out: str, key: str, files: EntryFiles) -> str:
    """An entry's files written under ``.partial/``, neither flushed nor in
    place yet (see :func:`place_entries`); the folder holding them."""
    partial = os.path.join(out, PARTIAL, f".{key}.{uuid.uuid4().hex}.part")
    os.makedirs(os.path.dirname(partial), exist_ok=True)
    try:
        _write_files(partial, files, fsync=False)
    except BaseException:
        shutil.rmtree(partial, ignore_errors=True)
        raise
    return partial


def place_entries(out: str, staged: list[tuple[str, str]], *, fsync: bool = True) -> None:
    """Entries staged by :func:`stage_entry`, as (folder, key), renamed into
    place; with ``fsync``, after one flush of the store's whole filesystem,
    which costs a task of many short files what one file's flushes cost."""
    if fsync and staged:
        _sync_filesystem(out)
    for partial, key in staged:
        target = entry_dir(out, key)
        _discard(target)
        try:
            os.rename(partial, target)
        except OSError as e:
            # Another writer of the same file got there first with the same result.
            if e.errno not in (errno.ENOTEMPTY, errno.EEXIST) or read_entry_attrs(out, key) is None:
                raise
            shutil.rmtree(partial, ignore_errors=True)


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


def remove_entry(out: Out, key: str) -> None:
    if isinstance(out, ObjectStore):
        out.remove_entry(ENTRIES, key)
        return
    _discard(entry_dir(out, key))


def read_entry(out: Out, key: str) -> npt.NDArray[np.float32]:
    """An entry's array; :class:`DamagedEntry` (or OSError) when it is not whole."""
    if isinstance(out, ObjectStore):
        return out.read_entry(ENTRIES, key)
    entries = _open_folder(os.path.join(out, ENTRIES))
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


def read_table(out: Out) -> list[dict[str, str]]:
    """The rows of ``files.csv`` that can be read, however a spreadsheet
    saved it (see :func:`parse_table`)."""
    if isinstance(out, ObjectStore):
        data = out.read_bytes(TABLE)
    else:
        path = os.path.join(out, TABLE)
        try:
            data = _read_file(path)
        except FileNotFoundError:
            data = None
        except OSError as e:
            if e.errno == errno.ELOOP:
                refuse_links(out)
            raise StoreError(f"{path}: cannot read the store's table ({e.strerror}); move it away, "
                             "and the table is rebuilt from the entries") from None
    return [] if data is None else parse_table(data)


def agreeing_table(rows: list[dict[str, str]], entries: dict[str, dict[str, Any]]) -> list[dict[str, Any]]:
    """``rows`` made to agree with the entries: a file with an entry the row
    does not know (a run killed before writing its table) is done, and one
    marked done without an entry is pending. Files without a row but with an
    entry are added, in path order."""
    table: dict[str, dict[str, Any]] = {}
    for row in rows:
        path = row.get("path")
        if not path:
            continue
        attrs = entries.get(path)
        if attrs is not None and (row.get("status") != "done" or row.get("size") != str(attrs.get("size"))
                                  or row.get("mtime_ns") != str(attrs.get("mtime_ns"))):
            table[path] = done_row(attrs)
        elif attrs is None and row.get("status") == "done":
            table[path] = {"path": path, "status": "pending"}
        else:
            table[path] = dict(row)
    for path in sorted(entries.keys() - table.keys()):
        table[path] = done_row(entries[path])
    return list(table.values())


def write_table(out: Out, rows: Iterable[dict[str, Any]]) -> None:
    """Write the table under a temporary name and rename it into place (at a
    URL, one object put)."""
    if isinstance(out, ObjectStore):
        out.write_table(TABLE, TABLE_COLUMNS, rows)
        return
    with staged(os.path.join(out, TABLE)) as partial, \
            open(partial, "x", newline="", encoding="utf-8", errors="surrogateescape") as f:
        writer = csv.DictWriter(f, TABLE_COLUMNS, extrasaction="ignore")
        writer.writeheader()
        for row in rows:
            writer.writerow({k: "" if row.get(k) is None else row[k] for k in TABLE_COLUMNS})
