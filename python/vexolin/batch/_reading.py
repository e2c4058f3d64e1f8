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
    """A store written by :func:`extract`, as a mapping from source path to feature array.

    Arrays are read on access, each in its feature's own shape, as the
    package's function gives it: ``(harmonics, bins, frames)`` for hcqt, a
    channel axis first in a store made with ``mono=False``. Relative paths
    are taken from the current directory; sources at URLs are named by
    their URL. :func:`open` makes one.

    Parameters
    ----------
    out : str or os.PathLike
        The store's path, or its fsspec URL.
    storage_options : dict or None
        Options of the URL's fsspec filesystem (credentials, endpoint).

    Attributes
    ----------
    path : str
        The store's path, or its URL.
    params : dict
        The feature and parameters every entry was made with.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np, soundfile, vexolin.batch
    >>> music = tempfile.mkdtemp()
    >>> tone = 0.5 * np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050)  # 1 s of A4
    >>> for name in ("a.wav", "b.wav"):
    ...     soundfile.write(os.path.join(music, name), tone, 22050)
    >>> out = os.path.join(tempfile.mkdtemp(), "features.zarr")
    >>> _ = vexolin.batch.extract(music, out=out, progress=False)
    >>> store = vexolin.batch.open(out)
    >>> len(store), store.feature, store.params["hop_length"]
    (2, 'chroma', 512)
    >>> store.path == out
    True
    >>> sorted(os.path.basename(path) for path in store)
    ['a.wav', 'b.wav']
    >>> store[os.path.join(music, "a.wav")].shape
    (12, 44)
    """

    def __init__(self, out: str | os.PathLike[str], storage_options: dict[str, Any] | None = None) -> None:
        self._store = open_store(out, storage_options)
        self.path = str(self._store)
        self.params: dict[str, Any] = stored_params(self._store)
        scan = self._store.scan()
        self._entries = scan.whole
        # Entries whose files are not whole, with what is wrong: read, each is an error.
        self._damaged = scan.damaged

    @property
    def feature(self) -> str:
        """The feature of every entry: "chroma", "cqt", "cens" or "chords".

        Examples
        --------
        >>> import os, tempfile
        >>> import numpy as np, soundfile, vexolin.batch
        >>> music = tempfile.mkdtemp()
        >>> tone = 0.5 * np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050)  # 1 s of A4
        >>> for name in ("a.wav", "b.wav"):
        ...     soundfile.write(os.path.join(music, name), tone, 22050)
        >>> out = os.path.join(tempfile.mkdtemp(), "features.zarr")
        >>> _ = vexolin.batch.extract(music, out=out, progress=False)
        >>> store = vexolin.batch.open(out)
        >>> store.feature
        'chroma'
        """
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
        """What the store records of a file.

        Parameters
        ----------
        path : str or os.PathLike
            The source file, as the mapping names it.

        Returns
        -------
        dict
            ``source``, ``sr`` (of the feature), ``duration`` in seconds,
            ``n_samples``, ``channels``, ``frames``, ``size`` and
            ``mtime_ns`` of the file when read, ``compute_seconds``,
            ``params`` (the run's), ``vexolin`` (the version that computed
            it), ``tuning`` (the one used, as estimated when the run's is
            None) and ``axes``, the names of the array's axes (such as
            ``["channel", "harmonic", "bin", "frame"]``; absent in stores
            of format 1, whose hcqt entries are rows).

        Raises
        ------
        KeyError
            The store has no entry of ``path``.

        Examples
        --------
        >>> import os, tempfile
        >>> import numpy as np, soundfile, vexolin.batch
        >>> music = tempfile.mkdtemp()
        >>> tone = 0.5 * np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050)  # 1 s of A4
        >>> for name in ("a.wav", "b.wav"):
        ...     soundfile.write(os.path.join(music, name), tone, 22050)
        >>> out = os.path.join(tempfile.mkdtemp(), "features.zarr")
        >>> _ = vexolin.batch.extract(music, out=out, progress=False)
        >>> store = vexolin.batch.open(out)
        >>> about = store.info(os.path.join(music, "a.wav"))
        >>> about["sr"], about["duration"], about["frames"], about["tuning"]
        (22050, 1.0, 44, 0.0)
        """
        source = _source(path)
        if source not in self._entries:
            raise KeyError(source)
        return dict(self._entries[source])

    def chords(self, path: str | os.PathLike[str]) -> Any:
        """A file's entry of a ``feature="chords"`` store as :class:`vexolin.Chords`.

        Parameters
        ----------
        path : str or os.PathLike
            The source file, as the mapping names it.

        Returns
        -------
        Chords or list of Chords
            The file's chords, with the parameters and tuning they were
            computed with; a list of them, one per channel, for a store made
            with ``mono=False``.

        Raises
        ------
        ValueError
            The store holds another feature.

        Examples
        --------
        >>> import os, tempfile
        >>> import numpy as np, soundfile, vexolin.batch
        >>> music = tempfile.mkdtemp()
        >>> tone = 0.5 * np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050)  # 1 s of A4
        >>> for name in ("a.wav", "b.wav"):
        ...     soundfile.write(os.path.join(music, name), tone, 22050)
        >>> out = os.path.join(tempfile.mkdtemp(), "features.zarr")
        >>> _ = vexolin.batch.extract(music, out=out, feature="chords", progress=False)
        >>> chords = vexolin.batch.open(out).chords(os.path.join(music, "a.wav"))
        >>> chords.vocabulary, chords.intervals.tolist()
        ('majmin', [[0.0, 1.0]])
        """
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
        """The rows of ``files.csv``: every file a run was given.

        Where the table is missing or behind the entries (a run killed
        outright), rows are rebuilt from the entries: every entry is a done
        file.

        Returns
        -------
        list of dict of str to str
            One row per file: its status ("done", "failed" or "pending";
            "skipped" for a folder the last run could not read), frames,
            seconds of audio, compute time, and the error of a failed one.

        Examples
        --------
        >>> import os, tempfile
        >>> import numpy as np, soundfile, vexolin.batch
        >>> music = tempfile.mkdtemp()
        >>> tone = 0.5 * np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050)  # 1 s of A4
        >>> for name in ("a.wav", "b.wav"):
        ...     soundfile.write(os.path.join(music, name), tone, 22050)
        >>> out = os.path.join(tempfile.mkdtemp(), "features.zarr")
        >>> _ = vexolin.batch.extract(music, out=out, progress=False)
        >>> store = vexolin.batch.open(out)
        >>> [(os.path.basename(row["path"]), row["status"], row["frames"]) for row in store.table()]
        [('a.wav', 'done', '44'), ('b.wav', 'done', '44')]
        """
        return [{k: "" if row.get(k) is None else str(row.get(k)) for k in TABLE_COLUMNS}
                for row in agreeing_table(read_table(self._store), self._entries)]

    def __repr__(self) -> str:
        return f"<vexolin.batch.FeatureStore {self.path}: {len(self)} {self.feature} entries>"


def _source(path: str | os.PathLike[str]) -> str:
    name = os.fspath(path)
    return name if _fs.is_url(name) else _fs.local_path(name)


def open(out: str | os.PathLike[str], *, storage_options: dict[str, Any] | None = None) -> FeatureStore:
    """Read a store written by :func:`extract`, at a path or an fsspec URL.

    Parameters
    ----------
    out : str or os.PathLike
        The store's path, or its fsspec URL.
    storage_options : dict or None
        Options of the URL's fsspec filesystem (credentials, endpoint).

    Returns
    -------
    FeatureStore
        A mapping from source path to feature array.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np, soundfile, vexolin.batch
    >>> music = tempfile.mkdtemp()
    >>> tone = 0.5 * np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050)  # 1 s of A4
    >>> for name in ("a.wav", "b.wav"):
    ...     soundfile.write(os.path.join(music, name), tone, 22050)
    >>> out = os.path.join(tempfile.mkdtemp(), "features.zarr")
    >>> _ = vexolin.batch.extract(music, out=out, progress=False)
    >>> store = vexolin.batch.open(out)
    >>> store  # doctest: +ELLIPSIS
    <vexolin.batch.FeatureStore ...: 2 chroma entries>
    >>> y, sr = vexolin.load(os.path.join(music, "b.wav"))
    >>> np.array_equal(store[os.path.join(music, "b.wav")], vexolin.chroma_cqt(y, sr=sr))
    True
    """
    return FeatureStore(out, storage_options)
