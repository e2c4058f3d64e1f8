"""Reading a store back: a mapping from source path to feature array."""

from __future__ import annotations

import os
from collections.abc import Iterator, Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from vexolin.batch import _fs
from vexolin.batch.store import TABLE_COLUMNS, agreeing_table, entry_key, open_store, read_table, stored_params


class FeatureStore(Mapping[str, npt.NDArray[np.float32]]):
    """A store written by :func:`extract`, as a mapping from source path to
    feature array (read on access). Relative paths are taken from the
    current directory; sources at URLs are named by their URL."""

    def __init__(self, out: str | os.PathLike[str], storage_options: dict[str, Any] | None = None) -> None:
        self._store = open_store(out, storage_options)
        #: The store's path, or its URL.
        self.path = str(self._store)
        #: The feature and parameters every entry was made with.
        self.params: dict[str, Any] = stored_params(self._store)
        scan = self._store.scan()
        self._entries = scan.whole
        # Entries whose files are not whole, with what is wrong: read, each is an error.
        self._damaged = scan.damaged

    @property
    def feature(self) -> str:
        """"chroma", "cqt", "cens" or "chords"."""
        return str(self.params["feature"])

    def __getitem__(self, path: str | os.PathLike[str]) -> npt.NDArray[np.float32]:
        source = _source(path)
        if source in self._damaged:
            raise self._damage(source, self._damaged[source])
        if source not in self._entries:
            raise KeyError(source)
        try:
            return self._store.read_entry(entry_key(source))
        except (OSError, ValueError) as e:  # a chunk missing, cut short or failing its checksum
            raise self._damage(source, e) from e

    def _damage(self, source: str, reason: object) -> ValueError:
        return ValueError(f"{self.path}: the entry of {source} is damaged ({reason}); run the extraction "
                          f"of {source} into this store again to redo it")

    def __contains__(self, path: object) -> bool:
        return isinstance(path, (str, os.PathLike)) and _source(path) in self._entries

    def __iter__(self) -> Iterator[str]:
        return iter(sorted(self._entries))

    def __len__(self) -> int:
        return len(self._entries)

    def info(self, path: str | os.PathLike[str]) -> dict[str, Any]:
        """What the store records of a file: ``source``, ``sr`` (of the
        feature), ``duration`` in seconds, ``n_samples``, ``channels``,
        ``frames``, ``size`` and ``mtime_ns`` of the file when read,
        ``compute_seconds``, ``params`` (the run's), ``vexolin`` (the
        version that computed it) and ``tuning`` (the one used, as
        estimated when the run's is None)."""
        source = _source(path)
        if source not in self._entries:
            raise KeyError(source)
        return dict(self._entries[source])

    def chords(self, path: str | os.PathLike[str]) -> Any:
        """A file's entry of a ``feature="chords"`` store as
        :class:`vexolin.Chords`, with the parameters and tuning it was
        computed with; a list of them, one per channel, for a store made
        with ``mono=False``."""
        from vexolin._chords import Chords

        if self.feature != "chords":
            raise ValueError(f"{self.path} holds {self.feature}, not chords: read its entries as arrays")
        values, about = self[path], self.info(path)
        used = {**about["params"], "tuning": about["tuning"]}

        def of(rows: npt.NDArray[np.float32]) -> Chords:
            return Chords.from_frames(rows[0].astype(np.int16), vocabulary=used["vocabulary"], sr=about["sr"],
                                      hop_length=used["hop_length"], tuning=about["tuning"],
                                      end=about["duration"], frame_confidence=rows[1], params=used)

        return of(values) if values.ndim == 2 else [of(channel) for channel in values]

    def table(self) -> list[dict[str, str]]:
        """The rows of ``files.csv``: every file a run was given, with its
        status ("done", "failed" or "pending"; "skipped" for a folder the
        last run could not read), frames, seconds of audio,
        compute time, and the error of a failed one. Where the table is
        missing or behind the entries (a run killed outright), rows are
        rebuilt from the entries: every entry is a done file."""
        return [{k: "" if row.get(k) is None else str(row.get(k)) for k in TABLE_COLUMNS}
                for row in agreeing_table(read_table(self._store), self._entries)]

    def __repr__(self) -> str:
        return f"<vexolin.batch.FeatureStore {self.path}: {len(self)} {self.feature} entries>"


def _source(path: str | os.PathLike[str]) -> str:
    name = os.fspath(path)
    return name if _fs.is_url(name) else _fs.local_path(name)


def open(out: str | os.PathLike[str], *, storage_options: dict[str, Any] | None = None) -> FeatureStore:
    """Read a store written by :func:`extract`, at a path or an fsspec URL
    (with ``storage_options`` for its filesystem)."""
    return FeatureStore(out, storage_options)
