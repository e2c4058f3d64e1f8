"""The feature store: one Zarr group on a filesystem, an array per file
under ``entries/``, and a table of every input, ``files.csv``.

An entry is written whole under ``.partial/`` and renamed into place, so an
entry that exists is complete: a run killed at any point leaves either the
earlier entry, no entry, or the new one, never a part of one.
"""

from __future__ import annotations

import contextlib
import csv
import fcntl
import hashlib
import json
import os
import shutil
import uuid
from collections.abc import Iterable, Iterator
from typing import Any

import numpy as np
import numpy.typing as npt
import zarr

from vexolin._atomic import staged
from vexolin.batch._params import describe
from vexolin.batch._zarr_entry import encode_entry

FORMAT = "vexolin-features"
FORMAT_VERSION = 1
ENTRIES = "entries"
PARTIAL = ".partial"
TABLE = "files.csv"
LOCK = ".lock"
TABLE_COLUMNS = ("path", "status", "frames", "seconds", "compute_seconds", "sr", "channels",
                 "size", "mtime_ns", "error")


class StoreError(ValueError):
    """``out`` cannot hold this run's features; nothing in it was changed."""


def entry_key(path: str) -> str:
    """The name of a file's entry: a digest of its absolute path."""
    return hashlib.sha256(os.fsencode(path)).hexdigest()[:32]


def entry_dir(out: str, key: str) -> str:
    return os.path.join(out, ENTRIES, key)


def _root_metadata(out: str) -> dict[str, Any] | None:
    try:
        with open(os.path.join(out, "zarr.json"), "rb") as f:
            document = json.load(f)
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as e:
        raise StoreError(f"{out}: cannot read the store's metadata ({e})") from None
    about = document.get("attributes", {}).get(FORMAT) if isinstance(document, dict) else None
    if not isinstance(about, dict) or not isinstance(about.get("params"), dict):
        raise StoreError(f"{out} is a Zarr store not made by vexolin batch; write to another path")
    return about


def stored_params(out: str) -> dict[str, Any]:
    """The parameters a store was made with."""
    if not os.path.isdir(out):
        raise FileNotFoundError(f"{out}: no such feature store")
    about = _root_metadata(out)
    if about is None:
        raise StoreError(f"{out} is not a vexolin feature store (it has no zarr.json)")
    params: dict[str, Any] = about["params"]
    return params


def check_store(out: str, params: dict[str, Any]) -> bool:
    """Whether ``out`` can take features made with ``params``; True when it
    already holds some. Reads only: a refused store is left as it was."""
    if not os.path.exists(out):
        return False
    if not os.path.isdir(out):
        raise StoreError(f"{out} is a file; the output must be a directory for a Zarr store")
    about = _root_metadata(out)
    if about is None:
        if any(not name.startswith(".") for name in os.listdir(out)):
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


def create_store(out: str, params: dict[str, Any], version: str) -> None:
    """Make the group and its ``entries`` group."""
    root = zarr.create_group(store=out, zarr_format=3,
                             attributes={FORMAT: {"version": FORMAT_VERSION, "params": params,
                                                  "vexolin": version}})
    root.create_group(ENTRIES)


@contextlib.contextmanager
def run_lock(out: str) -> Iterator[None]:
    """Held by a run for its length, so that two runs never write one store at once."""
    with open(os.path.join(out, LOCK), "a") as f:
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise StoreError(f"another run is writing to {out}; wait for it to end, "
                             "or write to another store") from None
        try:
            yield
        finally:
            fcntl.flock(f, fcntl.LOCK_UN)


def clear_partial(out: str) -> None:
    """Drop what killed writers left half-done."""
    shutil.rmtree(os.path.join(out, PARTIAL), ignore_errors=True)


def read_entry_attrs(out: str, key: str) -> dict[str, Any] | None:
    """The attributes of an entry, or None when there is none."""
    try:
        with open(os.path.join(entry_dir(out, key), "zarr.json"), "rb") as f:
            document = json.load(f)
    except (OSError, ValueError):
        return None
    attrs = document.get("attributes") if isinstance(document, dict) else None
    return attrs if isinstance(attrs, dict) and "source" in attrs else None


def is_current(path: str, attrs: dict[str, Any]) -> bool:
    """Whether an entry was made from the file as it is now (same size and modification time)."""
    try:
        stat = os.stat(path)
    except OSError:
        return False
    return bool(stat.st_size == attrs.get("size") and stat.st_mtime_ns == attrs.get("mtime_ns"))


def done_row(attrs: dict[str, Any]) -> dict[str, Any]:
    """The table row of a file with an entry."""
    return {"path": attrs["source"], "status": "done", "frames": attrs.get("frames"),
            "seconds": attrs.get("duration"), "compute_seconds": attrs.get("compute_seconds"),
            "sr": attrs.get("sr"), "channels": attrs.get("channels"), "size": attrs.get("size"),
            "mtime_ns": attrs.get("mtime_ns")}


def list_entries(out: str) -> dict[str, dict[str, Any]]:
    """Every entry's attributes, by source path."""
    try:
        keys = os.listdir(os.path.join(out, ENTRIES))
    except FileNotFoundError:
        return {}
    found = {}
    for key in keys:
        attrs = read_entry_attrs(out, key)
        if attrs is not None:
            found[attrs["source"]] = attrs
    return found


def _discard(path: str) -> None:
    """Remove a directory tree by first renaming it, so that it vanishes at once."""
    trash = os.path.join(os.path.dirname(os.path.dirname(path)), PARTIAL, f"old-{uuid.uuid4().hex}")
    try:
        os.makedirs(os.path.dirname(trash), exist_ok=True)
        os.rename(path, trash)
    except FileNotFoundError:
        return
    shutil.rmtree(trash, ignore_errors=True)


def write_entry(out: str, key: str, values: npt.NDArray[np.float32], attrs: dict[str, Any]) -> None:
    """Write an entry beside the store and rename it into place, replacing an older one."""
    files = encode_entry(values, attrs)
    target = entry_dir(out, key)
    try:
        with staged(target, scratch=os.path.join(out, PARTIAL)) as partial:
            for name, data in files.items():
                path = os.path.join(partial, *name.split("/"))
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "xb") as f:
                    f.write(data)
            _discard(target)
    except FileExistsError:
        # Another writer of the same file (a worker thought lost) got there
        # first with the same result; keep its entry.
        if read_entry_attrs(out, key) is None:
            raise


def remove_entry(out: str, key: str) -> None:
    _discard(entry_dir(out, key))


def read_entry(out: str, key: str) -> npt.NDArray[np.float32]:
    array = zarr.open_array(store=entry_dir(out, key), mode="r", zarr_format=3)
    values: npt.NDArray[np.float32] = np.asarray(array[...])
    return values


def read_table(out: str) -> list[dict[str, str]]:
    try:
        with open(os.path.join(out, TABLE), newline="", encoding="utf-8") as f:
            return list(csv.DictReader(f))
    except FileNotFoundError:
        return []


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


def write_table(out: str, rows: Iterable[dict[str, Any]]) -> None:
    """Write the table under a temporary name and rename it into place."""
    with staged(os.path.join(out, TABLE)) as partial, open(partial, "x", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, TABLE_COLUMNS, extrasaction="ignore")
        writer.writeheader()
        for row in rows:
            writer.writerow({k: "" if row.get(k) is None else row[k] for k in TABLE_COLUMNS})
