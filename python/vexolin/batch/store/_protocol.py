"""What a feature store does, wherever it is: the operations a run and a
reader use, each store bound to its location and its filesystem's options,
and picklable so that a cluster's tasks write it themselves."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from contextlib import AbstractContextManager
from dataclasses import dataclass
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

from vexolin.batch.store._validate import Scan

# An entry's files by name, its metadata last; possibly made as they are
# written (a long file's chunks, computed as its frames arrive).
EntryFiles = Iterable[tuple[str, bytes]]


@dataclass(frozen=True)
class Staged:
    """An entry written but not yet in place: its key, and where its files are."""

    key: str
    where: str


class Store(Protocol):
    """A feature store: a Zarr group holding an array per file under
    ``entries/`` and the table ``files.csv``. Checks, stored parameters and
    the table's rows are the same for every store (``_shared``); how an
    entry becomes whole, and how the lock holds, are each store's own."""

    @property
    def remote(self) -> bool:
        """Whether the store waits on a network: a run on threads then
        overlaps those waits with more threads."""
        ...

    @property
    def holder(self) -> str:
        """What the location must be to hold a store, as messages say it."""
        ...

    def __str__(self) -> str:
        """The store's path or URL, as messages name it."""
        ...

    # The location and the group's metadata.

    def exists(self) -> bool:
        """Whether anything is at the location."""
        ...

    def is_file(self) -> bool:
        """Whether what is at the location is a file, which cannot hold a store."""
        ...

    def check_links(self) -> None:
        """Refuse the store (StoreError) where its own files are reached through links."""
        ...

    def names(self) -> list[str]:
        """The names at the top of the location."""
        ...

    def read_metadata(self) -> Any:
        """The group's metadata document, or None when there is none;
        OSError or ValueError when it cannot be read as JSON."""
        ...

    def create(self, attributes: dict[str, Any]) -> None:
        """Make the group with ``attributes``, and its ``entries`` group."""
        ...

    # The lock.

    def lock(self) -> AbstractContextManager[str]:
        """Held by a run for its length, so that two runs never write the
        store at once; gives the run's name, which the lock holds while it is
        held. StoreError when another run holds it."""
        ...

    def lock_owner(self) -> str | None:
        """The run holding the lock, if any."""
        ...

    # Entries.

    def clear_partial(self) -> None:
        """Drop what killed writers left half-done."""
        ...

    def scan(self) -> Scan:
        """Every entry, whole or damaged, by source path."""
        ...

    def entry_attrs(self, key: str) -> dict[str, Any] | None:
        """The attributes of the whole entry ``key``, or None when there is none."""
        ...

    def broken_entries(self, wanted: Mapping[str, tuple[tuple[int, ...], list[str]]]) -> dict[str, str]:
        """Among entries by key, with their chunk shape and chunk names,
        those whose chunks do not decode, with what is wrong."""
        ...

    def stage_entry(self, key: str, files: EntryFiles) -> Staged | None:
        """Write an entry. Staged, when it is to be placed later (with others,
        see :meth:`place_entries`); None when it is whole in place already."""
        ...

    def place_entries(self, staged: Sequence[Staged], *, fsync: bool) -> None:
        """Put staged entries in place, replacing older ones; with ``fsync``,
        their files reach the disk first."""
        ...

    def drop_staged(self, staged: Iterable[Staged]) -> None:
        """Remove staged entries that will not be placed."""
        ...

    def remove_entry(self, key: str) -> None:
        """Remove the entry ``key``, if there is one."""
        ...

    def read_entry(self, key: str) -> npt.NDArray[np.float32]:
        """An entry's array; DamagedEntry (or OSError) when it is not whole."""
        ...

    # The table.

    def read_table_bytes(self) -> bytes | None:
        """The table's file, or None when there is none; StoreError when it cannot be read."""
        ...

    def write_table_bytes(self, data: bytes) -> None:
        """Replace the table's file with ``data`` at once."""
        ...

    # Files of the store's own beside its entries (the matching index), by
    # a name relative to the store ("folder/name").

    def read_extra(self, name: str, start: int | None = None, end: int | None = None) -> bytes | None:
        """The file's bytes, or those from ``start`` to ``end``; None when it is not there."""
        ...

    def write_extra(self, name: str, data: bytes) -> None:
        """Replace the file with ``data`` at once: a reader sees the old or the new, never a part."""
        ...

    def remove_extra(self, name: str) -> None:
        """Remove the file, if it is there."""
        ...
