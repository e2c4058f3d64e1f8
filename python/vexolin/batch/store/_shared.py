"""What every store shares, written once over the :class:`Store` operations:
the checks before a run writes, the parameters a store was made with, which
entries are broken, and the table's rows."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

from vexolin.batch._fs import Unreachable
from vexolin.batch.store._protocol import Store
from vexolin.batch.store._table import COLUMNS, FileRecord, Row, parse_table, table_text
from vexolin.batch.store._validate import Scan, entry_key

FORMAT = "vexolin-features"
# Format 2 keeps each entry in its feature's own shape, with its axes named;
# format 1 laid a harmonic transform's channels out as rows. Both are read,
# and a run resuming a store keeps to its format, so its entries agree.
FORMAT_VERSION = 2
READ_VERSIONS = (1, 2)
ENTRIES = "entries"
PARTIAL = ".partial"
TABLE = "files.csv"
TABLE_COLUMNS = COLUMNS
LOCK = ".lock"
METADATA = "zarr.json"


class StoreError(ValueError):
    """``out`` cannot hold this run's features; nothing in it was changed."""


def describe(p: Mapping[str, Any]) -> str:
    """Parameters as ``name=value`` pairs, for messages."""
    return ", ".join(f"{name}={value!r}" for name, value in p.items())


def _about(store: Store) -> dict[str, Any] | None:
    """What the group's metadata says of the store, None when it has none."""
    try:
        document = store.read_metadata()
    except Unreachable:
        raise
    except (OSError, ValueError) as e:
        raise StoreError(f"{store}: cannot read the store's metadata ({e})") from None
    if document is None:
        return None
    about = document.get("attributes", {}).get(FORMAT) if isinstance(document, dict) else None
    if not isinstance(about, dict) or not isinstance(about.get("params"), dict):
        raise StoreError(f"{store} is a Zarr store not made by vexolin batch; write to another path")
    return about


def stored_params(store: Store) -> dict[str, Any]:
    """The parameters a store was made with."""
    if not store.exists() or store.is_file():
        raise FileNotFoundError(f"{store}: no such feature store")
    store.check_links()
    about = _about(store)
    if about is None:
        raise StoreError(f"{store} is not a vexolin feature store (it has no zarr.json)")
    params: dict[str, Any] = about["params"]
    return params


def check_store(store: Store, params: dict[str, Any]) -> bool:
    """Whether ``store`` can take features made with ``params``; True when it
    already holds some. Reads only: a refused store is left as it was."""
    if not store.exists():
        return False
    if store.is_file():
        raise StoreError(f"{store} is a file; the output must be {store.holder} for a Zarr store")
    store.check_links()
    about = _about(store)
    if about is None:
        if any(not name.startswith(".") for name in store.names()):
            raise StoreError(f"{store} is a directory that is not a feature store; "
                             "give a new or an empty directory")
        return False
    if about.get("version") not in READ_VERSIONS:
        raise StoreError(f"{store} was written in store format {about.get('version')!r}, "
                         f"this vexolin reads formats {' and '.join(map(str, READ_VERSIONS))}; "
                         "write to another path")
    if about["params"] != params:
        differ = {k: v for k, v in about["params"].items() if params.get(k, object()) != v}
        wanted = {k: params[k] for k in differ if k in params}
        raise StoreError(
            f"{store} holds features made with {describe(differ)}, but this run asks for {describe(wanted)}; "
            "entries made differently cannot be mixed: write these to a new store (another --out / out= path), "
            f"or delete {store} to start it again; to add to it, ask for {describe(differ)}")
    return True


def keeps_shapes(store: Store) -> bool:
    """Whether the store, checked by :func:`check_store`, keeps entries in
    their feature's own shape (format 2), not as rows (format 1)."""
    about = _about(store)
    return about is None or about.get("version") != 1


def create_store(store: Store, params: dict[str, Any], version: str) -> None:
    """Make the group, recording the parameters and the version, and its ``entries`` group."""
    store.create({FORMAT: {"version": FORMAT_VERSION, "params": params, "vexolin": version}})


def broken_entries(store: Store, scan: Scan, sources: Iterable[str]) -> dict[str, str]:
    """Among whole entries of ``sources``, those whose chunks do not decode
    (a flipped byte keeps a chunk's size, and only its checksum tells), with
    what is wrong. Every chunk is read; at a URL, in few batched requests."""
    wanted = {entry_key(source): source for source in sources}
    found = store.broken_entries({key: scan.chunks[source] for key, source in wanted.items()})
    return {wanted[key]: problem for key, problem in found.items()}


def done_row(attrs: dict[str, Any]) -> FileRecord:
    """The table row of a file with an entry."""
    return {"path": attrs["source"], "status": "done", "frames": attrs.get("frames"),
            "seconds": attrs.get("duration"), "compute_seconds": attrs.get("compute_seconds"),
            "sr": attrs.get("sr"), "channels": attrs.get("channels"), "size": attrs.get("size"),
            "mtime_ns": attrs.get("mtime_ns")}


def read_table(store: Store) -> list[Row]:
    """The rows of ``files.csv`` that can be read, however a spreadsheet
    saved it (see :func:`parse_table`)."""
    data = store.read_table_bytes()
    return [] if data is None else parse_table(data)


def agreeing_table(rows: list[Row], entries: dict[str, dict[str, Any]]) -> list[FileRecord | Row]:
    """``rows`` made to agree with the entries: a file with an entry the row
    does not know (a run killed before writing its table) is done, and one
    marked done without an entry is pending. Files without a row but with an
    entry are added, in path order."""
    table: dict[str, FileRecord | Row] = {}
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


def write_table(store: Store, rows: Iterable[Mapping[str, object]]) -> None:
    """Replace the table at once: a reader sees the old one or the new one."""
    store.write_table_bytes(table_text(rows))
