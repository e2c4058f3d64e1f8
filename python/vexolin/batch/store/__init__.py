"""The feature store: one Zarr group, an array per file under ``entries/``,
and a table of every input, ``files.csv``.

:class:`Store` is what a run and a reader ask of a store; :class:`LocalStore`
(a folder) and :class:`ObjectStore` (an fsspec URL) are the two kinds, each a
value bound to its location and options. What they share (the checks, the
stored parameters, the table) is written once over the protocol. Another
kind of store is one more module with a class that has the protocol's
methods, and a line in :func:`open_store`.
"""

import os

from vexolin.batch import _fs
from vexolin.batch.store._local import LocalStore
from vexolin.batch.store._object import ObjectStore
from vexolin.batch.store._protocol import EntryFiles, Staged, Store
from vexolin.batch.store._shared import (ENTRIES, LOCK, METADATA, PARTIAL, TABLE, TABLE_COLUMNS, StoreError,
                                         agreeing_table, broken_entries, check_store, create_store, done_row,
                                         keeps_shapes, read_table, stored_params, write_table)
from vexolin.batch.store._table import FileRecord, Row
from vexolin.batch.store._validate import DamagedEntry, Scan, entry_key

__all__ = [
    "ENTRIES", "LOCK", "METADATA", "PARTIAL", "TABLE", "TABLE_COLUMNS", "DamagedEntry", "EntryFiles", "FileRecord",
    "LocalStore", "ObjectStore", "Row", "Scan", "Staged", "Store", "StoreError", "agreeing_table",
    "broken_entries", "check_store", "create_store", "done_row", "entry_key", "keeps_shapes", "open_store",
    "read_table", "stored_params", "write_table",
]


def open_store(out: str | os.PathLike[str], options: _fs.Options | None) -> Store:
    """The store at a path or URL: a :class:`LocalStore` for a path or a
    ``file://`` URL, an :class:`ObjectStore` with ``options`` for any other URL."""
    name = os.fspath(out)
    if _fs.is_url(name):
        fs, where = _fs.filesystem(name, options)
        return ObjectStore(fs.unstrip_protocol(where).rstrip("/"), dict(options or {}))
    return LocalStore(_fs.local_path(name))
