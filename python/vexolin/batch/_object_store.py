"""The feature store at an fsspec URL (an object store such as S3, or any
filesystem without atomic renames): the same Zarr v3 group as on a local
disk, written object by object.

Without a rename, an entry is complete when its ``zarr.json`` is there: it is
removed first when an entry is rewritten and put last, after every chunk, and
it records each chunk's size. An entry whose chunks are missing or short is
not taken as complete, and the next run redoes it. The run lock is an object
holding its owner and a lease the run renews, taken with a conditional write
where the store has one."""

from __future__ import annotations

import contextlib
import csv
import io
import json
import os
import socket
import threading
import time
import uuid
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from vexolin.batch._fs import Options, filesystem
from vexolin.batch._zarr_entry import decode_entry

# How long a lock holds without renewal: a run killed outright blocks the
# store for at most this long.
LEASE_S = 120.0


class LockHeld(Exception):
    """Another run holds the lock; the message names it."""


@dataclass(frozen=True)
class ObjectStore:
    """A store at ``url``; picklable, so tasks on a cluster write it themselves."""

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
    def _fs(self) -> Any:
        return filesystem(self.url, self.options)[0]

    @property
    def _root(self) -> str:
        return str(filesystem(self.url, self.options)[1]).rstrip("/")

    def _path(self, *parts: str) -> str:
        return "/".join((self._root, *parts))

    def __str__(self) -> str:
        return self.url

    # The group and its metadata.

    def read_json(self, *parts: str) -> Any:
        """A JSON object of the store, or None when it is not there."""
        try:
            return json.loads(self._fs.cat_file(self._path(*parts)))
        except FileNotFoundError:
            return None

    def write_json(self, document: Any, *parts: str) -> None:
        self._fs.pipe_file(self._path(*parts), json.dumps(document, indent=2).encode())

    def exists(self) -> bool:
        return bool(self._fs.exists(self._root))

    def is_file(self) -> bool:
        return bool(self._fs.isfile(self._root))

    def names(self) -> list[str]:
        return [str(p).rstrip("/").rsplit("/", 1)[-1] for p in self._fs.ls(self._root, detail=False)]

    # The lock.

    @contextlib.contextmanager
    def lock(self, name: str) -> Iterator[str]:
        """Held for the block: an object naming its owner, its lease renewed
        on a thread until the block ends."""
        fs, path = self._fs, self._path(name)
        owner = f"{socket.gethostname()} pid {os.getpid()} run {uuid.uuid4().hex[:12]}"

        def claim() -> bytes:
            return json.dumps({"owner": owner, "expires": time.time() + LEASE_S}).encode()

        try:
            fs.pipe_file(path, claim(), mode="create")
        except FileExistsError:
            try:
                held = json.loads(fs.cat_file(path))
            except (FileNotFoundError, ValueError):
                held = {}
            if isinstance(held, dict) and float(held.get("expires", 0)) > time.time():
                left = float(held["expires"]) - time.time()
                raise LockHeld(f"another run is writing to {self.url} ({held.get('owner')}, its lease ends "
                               f"in {left:.0f} s unless renewed); wait for it to end, or write to another "
                               "store") from None
            fs.pipe_file(path, claim())  # the owner's lease ran out: a run killed outright
        except (NotImplementedError, TypeError):  # no conditional write here: check after writing
            fs.pipe_file(path, claim())
        if json.loads(fs.cat_file(path)).get("owner") != owner:
            raise LockHeld(f"another run took the lock of {self.url} at the same moment; "
                           "wait for it to end, or write to another store")
        stop = threading.Event()

        def renew() -> None:
            while not stop.wait(LEASE_S / 4):
                with contextlib.suppress(OSError):
                    fs.pipe_file(path, claim())

        renewer = threading.Thread(target=renew, name="vexolin-lock-lease", daemon=True)
        renewer.start()
        try:
            yield owner
        finally:
            stop.set()
            renewer.join()
            with contextlib.suppress(OSError):
                if json.loads(fs.cat_file(path)).get("owner") == owner:
                    fs.rm_file(path)

    def owner(self, name: str) -> str | None:
        held = self.read_json(name)
        return str(held["owner"]) if isinstance(held, dict) and "owner" in held else None

    # Entries.

    def _complete(self, attrs: Any, sizes: dict[str, int]) -> bool:
        if not isinstance(attrs, dict) or "source" not in attrs:
            return False
        wanted = attrs.get("chunk_bytes")
        return isinstance(wanted, dict) and all(sizes.get(name) == size for name, size in wanted.items())

    def list_entries(self, entries: str) -> dict[str, dict[str, Any]]:
        """Every complete entry's attributes, by source path: one listing and
        one concurrent read of the metadata."""
        fs = self._fs
        top = self._path(entries)
        try:
            listing = fs.find(top, detail=True)
        except FileNotFoundError:
            object.__setattr__(self, "_listed", frozenset())
            return {}
        sizes: dict[str, dict[str, int]] = {}
        for path, about in listing.items():
            rest = str(path)[len(top):].strip("/").split("/")
            if len(rest) == 2:
                sizes.setdefault(rest[0], {})[rest[1]] = int(about.get("size", -1))
        object.__setattr__(self, "_listed", frozenset(sizes))
        metadata = [self._path(entries, key, "zarr.json") for key, files in sizes.items() if "zarr.json" in files]
        found = {}
        for path, data in fs.cat(metadata, on_error="omit").items() if metadata else ():
            try:
                attrs = json.loads(data).get("attributes")
            except (ValueError, AttributeError):
                continue
            key = str(path).rstrip("/").split("/")[-2]
            if self._complete(attrs, sizes[key]):
                found[attrs["source"]] = attrs
        return found

    def read_entry_attrs(self, entries: str, key: str) -> dict[str, Any] | None:
        document = self.read_json(entries, key, "zarr.json")
        attrs = document.get("attributes") if isinstance(document, dict) else None
        if not isinstance(attrs, dict):
            return None
        try:
            listing = self._fs.ls(self._path(entries, key), detail=True)
        except FileNotFoundError:
            return None
        sizes = {str(about["name"]).rstrip("/").rsplit("/", 1)[-1]: int(about.get("size", -1)) for about in listing}
        return attrs if self._complete(attrs, sizes) else None

    def write_entry(self, entries: str, key: str, files: dict[str, bytes]) -> None:
        """The chunks first, then the metadata that makes the entry complete."""
        fs = self._fs
        if self._listed is None or key in self._listed:
            with contextlib.suppress(FileNotFoundError):
                fs.rm_file(self._path(entries, key, "zarr.json"))  # an older entry stops counting first
        chunks = {self._path(entries, key, name): data for name, data in files.items() if name != "zarr.json"}
        fs.pipe(chunks)
        fs.pipe_file(self._path(entries, key, "zarr.json"), files["zarr.json"])

    def remove_entry(self, entries: str, key: str) -> None:
        fs = self._fs
        with contextlib.suppress(FileNotFoundError):
            fs.rm_file(self._path(entries, key, "zarr.json"))
        with contextlib.suppress(FileNotFoundError):
            fs.rm(self._path(entries, key), recursive=True)

    def read_entry(self, entries: str, key: str) -> npt.NDArray[np.float32]:
        metadata = self.read_json(entries, key, "zarr.json")
        if not isinstance(metadata, dict):
            raise FileNotFoundError(f"{self._path(entries, key)}: no entry")

        def read(names: list[str]) -> dict[str, bytes]:
            paths = {self._path(entries, key, name): name for name in names}
            data = self._fs.cat(list(paths))
            missing = sorted(set(paths.values()) - {paths[str(p)] for p in data if str(p) in paths})
            if missing:
                raise FileNotFoundError(f"chunk {missing[0]} is missing")
            return {paths[str(p)]: bytes(d) for p, d in data.items() if str(p) in paths}

        return decode_entry(metadata, read)

    # The table.

    def read_text(self, name: str) -> str | None:
        try:
            return bytes(self._fs.cat_file(self._path(name))).decode("utf-8", "surrogateescape")
        except FileNotFoundError:
            return None

    def write_table(self, name: str, columns: tuple[str, ...], rows: Iterable[dict[str, Any]]) -> None:
        text = io.StringIO(newline="")
        writer = csv.DictWriter(text, columns, extrasaction="ignore")
        writer.writeheader()
        for row in rows:
            writer.writerow({k: "" if row.get(k) is None else row[k] for k in columns})
        self._fs.pipe_file(self._path(name), text.getvalue().encode("utf-8", "surrogateescape"))
