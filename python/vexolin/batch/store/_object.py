"""The feature store at an fsspec URL (an object store such as S3, or any
filesystem without atomic renames): the same Zarr v3 group as on a local
disk, written object by object.

Without a rename, an entry is complete when its ``zarr.json`` is there: it is
removed first when an entry is rewritten and put last, after every chunk, and
it records each chunk's size. An entry whose chunks are missing or short is
not taken as complete, and the next run redoes it. The run lock is an object
holding its owner (host, process, run) and a lease the run renews, taken
with a conditional write where the store has one; a lock whose owner is a
process of this machine that has ended is taken over at once."""

from __future__ import annotations

import contextlib
import json
import math
import os
import socket
import threading
import time
import uuid
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from vexolin._owner import is_gone, machine
from vexolin.batch._fs import Options, filesystem
from vexolin.batch.store._protocol import EntryFiles, Staged
from vexolin.batch.store._shared import ENTRIES, LOCK, METADATA, TABLE, StoreError
from vexolin.batch.store._validate import DamagedEntry, Scan, inspect_entry, load_json
from vexolin.batch.store._zarr_entry import decode_chunk, decode_entry

# How long a lock holds without renewal: a run killed outright blocks the
# store for at most this long.
LEASE_S = 120.0
# Chunks put together, up to this many bytes.
_PUT_AT_ONCE_BYTES = 64 << 20
# Bytes of chunks fetched in one request when checking entries.
_CHECK_BATCH_BYTES = 256 << 20


@dataclass(frozen=True)
class ObjectStore:
    """A store at ``url``, its filesystem made with ``options``."""

    url: str
    options: Options = field(default_factory=dict)
    # The entries' keys that had any object when this instance last listed
    # them, while its run held the lock: a key not among them has no old
    # metadata to remove before it is written (that saves a request a file).
    # Not sent to cluster workers, which remove it as before.
    _listed: frozenset[str] | None = field(default=None, init=False, compare=False, repr=False)

    def __getstate__(self) -> dict[str, Any]:
        return {**self.__dict__, "_listed": None}

    @property
    def remote(self) -> bool:
        return True

    @property
    def holder(self) -> str:
        return "a location"

    @property
    def _fs(self) -> Any:
        return filesystem(self.url, self.options)[0]

    @property
    def _root(self) -> str:
        return str(filesystem(self.url, self.options)[1]).rstrip("/")

    def _path(self, *parts: str) -> str:
        return "/".join((self._root, *parts))

    def __str__(self) -> str:
        return self.url

    def _read_json(self, *parts: str) -> Any:
        """A JSON object of the store, or None when it is not there;
        ValueError when it is not JSON."""
        try:
            return load_json(self._fs.cat_file(self._path(*parts)))
        except FileNotFoundError:
            return None

    def _write_json(self, document: Any, *parts: str) -> None:
        self._fs.pipe_file(self._path(*parts), json.dumps(document, indent=2).encode())

    # The location and the group's metadata.

    def exists(self) -> bool:
        return bool(self._fs.exists(self._root))

    def is_file(self) -> bool:
        return bool(self._fs.isfile(self._root))

    def check_links(self) -> None:
        """Object stores have no links."""

    def names(self) -> list[str]:
        return [str(p).rstrip("/").rsplit("/", 1)[-1] for p in self._fs.ls(self._root, detail=False)]

    def read_metadata(self) -> Any:
        return self._read_json(METADATA)

    def create(self, attributes: dict[str, Any]) -> None:
        # The metadata Zarr writes for these groups.
        self._write_json({"zarr_format": 3, "node_type": "group", "attributes": {}}, ENTRIES, METADATA)
        self._write_json({"zarr_format": 3, "node_type": "group", "attributes": attributes}, METADATA)

    # The lock.

    @contextlib.contextmanager
    def lock(self) -> Iterator[str]:
        """Held for the block: an object naming its owner, its lease renewed
        on a thread until the block ends."""
        fs, path = self._fs, self._path(LOCK)
        owner = f"{socket.gethostname()} pid {os.getpid()} run {uuid.uuid4().hex[:12]}"

        def claim() -> bytes:
            return json.dumps({"owner": owner, "expires": time.time() + LEASE_S, "pid": os.getpid(),
                               "machine": machine()}).encode()

        try:
            fs.pipe_file(path, claim(), mode="create")
        except FileExistsError:
            held = _lease(fs, path)
            if held.get("owner") != owner and float(held.get("expires", 0)) > time.time() \
                    and not _owner_gone(held):
                left = float(held["expires"]) - time.time()
                raise StoreError(f"another run is writing to {self.url} ({held.get('owner')}, its lease ends "
                                 f"in {left:.0f} s unless renewed); wait for it to end, or write to another "
                                 "store") from None
            # The owner's lease ran out, or its process on this machine is
            # gone: a run killed outright.
            fs.pipe_file(path, claim())
        except (NotImplementedError, TypeError):  # no conditional write here: check after writing
            fs.pipe_file(path, claim())
        if _lease(fs, path).get("owner") != owner:
            raise StoreError(f"another run took the lock of {self.url} at the same moment; "
                             "wait for it to end, or write to another store")
        stop = threading.Event()

        def renew() -> None:
            while not stop.wait(LEASE_S / 4):
                with contextlib.suppress(OSError):
                    # Renewed only while still ours: a run stalled past its
                    # lease (a suspended laptop) must not take the lock back
                    # from the run that took it over; its tasks then stop.
                    if _lease(fs, path).get("owner") != owner:
                        return
                    fs.pipe_file(path, claim())

        renewer = threading.Thread(target=renew, name="vexolin-lock-lease", daemon=True)
        renewer.start()
        try:
            yield owner
        finally:
            stop.set()
            renewer.join()
            # Released while the store answers; when the run gave up on it,
            # the next run on this machine takes the lock over at once, and
            # one elsewhere once the lease runs out.
            with contextlib.suppress(OSError):
                if _lease(fs, path).get("owner") == owner:
                    fs.rm_file(path)

    def lock_owner(self) -> str | None:
        held = _lease(self._fs, self._path(LOCK))
        return str(held["owner"]) if "owner" in held else None

    # Entries.

    def clear_partial(self) -> None:
        """Nothing to clear: a half-written entry has no metadata, and is overwritten."""

    def scan(self) -> Scan:
        """One listing and one concurrent read of the metadata."""
        fs = self._fs
        top = self._path(ENTRIES)
        try:
            listing = fs.find(top, detail=True)
        except FileNotFoundError:
            object.__setattr__(self, "_listed", frozenset())
            return Scan()
        sizes: dict[str, dict[str, int]] = {}
        for path, about in listing.items():
            rest = str(path)[len(top):].strip("/").split("/")
            if len(rest) == 2:
                sizes.setdefault(rest[0], {})[rest[1]] = int(about.get("size", -1))
        object.__setattr__(self, "_listed", frozenset(sizes))
        metadata = [self._path(ENTRIES, key, METADATA) for key, files in sizes.items() if METADATA in files]
        scan = Scan()
        for path, data in fs.cat(metadata, on_error="omit").items() if metadata else ():
            key = str(path).rstrip("/").split("/")[-2]
            scan.add(*self._inspect(data, key, sizes[key]))
        return scan

    @staticmethod
    def _inspect(data: bytes, key: str, sizes: dict[str, int]) -> tuple[dict[str, Any] | None, Any]:
        try:
            document = load_json(data)
        except ValueError:
            return None, None
        return inspect_entry(document, key, sizes.get, lambda: [name for name in sizes if name != METADATA])

    def entry_attrs(self, key: str) -> dict[str, Any] | None:
        try:
            data = self._fs.cat_file(self._path(ENTRIES, key, METADATA))
            listing = self._fs.ls(self._path(ENTRIES, key), detail=True)
        except FileNotFoundError:
            return None
        sizes = {str(about["name"]).rstrip("/").rsplit("/", 1)[-1]: int(about.get("size", -1)) for about in listing}
        attrs, found = self._inspect(data, key, sizes)
        return attrs if isinstance(found, tuple) else None

    def broken_entries(self, wanted: Mapping[str, tuple[tuple[int, ...], list[str]]]) -> dict[str, str]:
        """Their chunks fetched in concurrent batches of up to ``_CHECK_BATCH_BYTES``."""
        chunks = {self._path(ENTRIES, key, name): (key, shape)
                  for key, (shape, names) in wanted.items() for name in names}
        broken: dict[str, str] = {}
        for batch in _batches(list(chunks), [4 * math.prod(chunks[path][1]) for path in chunks]):
            for path, data in self._fs.cat(batch, on_error="return").items():
                key, shape = chunks[str(path)]
                try:
                    if isinstance(data, BaseException):
                        raise DamagedEntry(f"chunk {str(path).rsplit('/', 1)[-1]} cannot be read ({data})")
                    decode_chunk(bytes(data), shape)
                except DamagedEntry as e:
                    broken.setdefault(key, str(e))
        return broken

    def write_entry(self, key: str, files: EntryFiles) -> None:
        """The chunks first, several at once, then the metadata that makes the entry complete."""
        fs = self._fs
        if self._listed is None or key in self._listed:
            with contextlib.suppress(FileNotFoundError):
                fs.rm_file(self._path(ENTRIES, key, METADATA))  # an older entry stops counting first
        batch: dict[str, bytes] = {}
        for name, data in files:
            if name == METADATA:
                if batch:
                    fs.pipe(batch)
                fs.pipe_file(self._path(ENTRIES, key, name), data)
                return
            batch[self._path(ENTRIES, key, name)] = data
            if sum(map(len, batch.values())) >= _PUT_AT_ONCE_BYTES:  # a long file's chunks: bounded memory
                fs.pipe(batch)
                batch = {}
        raise ValueError(f"entry {key} has no metadata")

    def stage_entry(self, key: str, files: EntryFiles) -> None:
        """Written in place at once, its metadata last: nothing to place."""
        self.write_entry(key, files)

    def place_entries(self, staged: Sequence[Staged], *, fsync: bool) -> None:
        """Nothing is staged here."""

    def drop_staged(self, staged: Iterable[Staged]) -> None:
        """Nothing is staged here."""

    def remove_entry(self, key: str) -> None:
        fs = self._fs
        with contextlib.suppress(FileNotFoundError):
            fs.rm_file(self._path(ENTRIES, key, METADATA))
        with contextlib.suppress(FileNotFoundError):
            fs.rm(self._path(ENTRIES, key), recursive=True)

    def read_entry(self, key: str) -> npt.NDArray[np.float32]:
        metadata = self._read_json(ENTRIES, key, METADATA)
        if not isinstance(metadata, dict):
            raise FileNotFoundError(f"{self._path(ENTRIES, key)}: no entry")

        def read(names: list[str]) -> dict[str, bytes]:
            paths = {self._path(ENTRIES, key, name): name for name in names}
            data = self._fs.cat(list(paths), on_error="return")
            got = {paths[str(p)]: d for p, d in data.items() if str(p) in paths}
            missing = sorted(name for name in paths.values() if not isinstance(got.get(name), bytes))
            if missing:
                raise DamagedEntry(f"chunk {missing[0]} is missing")
            return {name: bytes(d) for name, d in got.items()}

        def chunk_files() -> list[str]:
            listing = self._fs.ls(self._path(ENTRIES, key), detail=False)
            return [name for name in (str(p).rstrip("/").rsplit("/", 1)[-1] for p in listing) if name != METADATA]

        return decode_entry(metadata, read, chunk_files)

    # The table.

    def read_table_bytes(self) -> bytes | None:
        try:
            return bytes(self._fs.cat_file(self._path(TABLE)))
        except FileNotFoundError:
            return None

    def write_table_bytes(self, data: bytes) -> None:
        self._fs.pipe_file(self._path(TABLE), data)

    # Files beside the entries: one object each, put whole (an object
    # appears at once), read in ranges.

    def read_extra(self, name: str, start: int | None = None, end: int | None = None) -> bytes | None:
        try:
            return bytes(self._fs.cat_file(self._path(name), start=start, end=end))
        except FileNotFoundError:
            return None

    def write_extra(self, name: str, data: bytes) -> None:
        self._fs.pipe_file(self._path(name), data)

    def remove_extra(self, name: str) -> None:
        with contextlib.suppress(FileNotFoundError):
            self._fs.rm_file(self._path(name))


def _owner_gone(held: dict[str, Any]) -> bool:
    """Whether a lock's owner is a process of this machine that has ended."""
    pid, where = held.get("pid"), held.get("machine")
    return isinstance(pid, int) and isinstance(where, str) and is_gone(pid, where)


def _lease(fs: Any, path: str) -> dict[str, Any]:
    """What a lock object holds: its owner and when its lease ends; empty
    when it is gone or not a lease."""
    try:
        held = load_json(fs.cat_file(path))
    except (FileNotFoundError, ValueError):
        return {}
    if not isinstance(held, dict) or not isinstance(held.get("expires", 0), (int, float)):
        return {}
    return held


def _batches(paths: list[str], sizes: list[int]) -> Iterator[list[str]]:
    """``paths`` in consecutive batches of up to ``_CHECK_BATCH_BYTES`` (by ``sizes``), at least one path each."""
    batch: list[str] = []
    total = 0
    for path, size in zip(paths, sizes):
        if batch and total + size > _CHECK_BATCH_BYTES:
            yield batch
            batch, total = [], 0
        batch.append(path)
        total += size
    if batch:
        yield batch
