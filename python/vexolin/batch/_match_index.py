"""The matching index of a feature store: every entry's CENS at the matching
rate, quantised, in one contiguous array with each file's offset.

Values are CENS frames of unit length scaled by :data:`SCALE` and rounded
(int16): inner products of such frames, and their sums along a diagonal,
are whole numbers well below 2**53, so float64 arithmetic gives them
exactly in any order, which makes a search's result the same whatever its
pieces, threads or BLAS.

A local store keeps its index in ``.match/``: ``step<S>.bin`` (the frames,
rows of 12 little-endian int16) and ``step<S>.json`` (the files, their
offsets and each entry's identity). It is built on first use, extended
for entries added since, and rebuilt when an entry changed or went; read
memory-mapped. A store at a URL gets its index built in memory each time.
"""

from __future__ import annotations

import contextlib
import fcntl
import hashlib
import json
import os
from collections.abc import Iterator
from dataclasses import dataclass
from fractions import Fraction
from typing import Any

import numpy as np
import numpy.typing as npt

from vexolin._atomic import staged
from vexolin._chroma import cens
from vexolin.batch.store import LocalStore, Store, entry_key

SCALE = 32767
FOLDER = ".match"
_VERSION = 1
# The CENS window of a chroma store's entries, reduced on the fly.
CHROMA_WIN_LEN_SMOOTH = 41
# The rate a store that keeps each file's rate is matched at, before the step.
REFERENCE_SR = 22050
_ROW = np.dtype("<i2")


@dataclass(frozen=True)
class IndexedFile:
    source: str
    identity: str
    offset: int
    length: int


@dataclass(frozen=True)
class Index:
    """The frames (rows x 12, int16) and the files they hold, in order."""

    frames: npt.NDArray[np.int16]
    files: list[IndexedFile]
    #: Matching frames per second.
    rate: float


def reference_sr(params: dict[str, Any]) -> int:
    """The rate whose frames, ``step`` at a time, make the matching rate."""
    return int(params["sr"]) if params.get("sr") else REFERENCE_SR


def as_cens(values: npt.NDArray[np.float32], params: dict[str, Any]) -> npt.NDArray[np.float64]:
    """A store's feature (chroma or CENS, a channel axis first or not) as CENS
    frames (n_frames, 12), channels summed and scaled to length 1 again."""
    if params["feature"] == "chroma":
        values = cens(values, CHROMA_WIN_LEN_SMOOTH)
    x = np.asarray(values, dtype=np.float64)
    if x.ndim == 3:
        x = x.sum(axis=0)
    return unit_rows(x.T)


def unit_rows(x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    length = np.sqrt((x * x).sum(axis=1, keepdims=True))
    out: npt.NDArray[np.float64] = x / np.where(length > 0.0, length, 1.0)
    return out


def on_grid(frames: npt.NDArray[np.float64], step: float, count: int | None = None) -> npt.NDArray[np.float64]:
    """Frames (n, 12) taken every ``step`` frames (any step > 0), linearly
    interpolated between neighbours and scaled to length 1 again: ``count``
    of them, by default as many as fit."""
    n = frames.shape[0]
    if count is None:
        count = int((n - 1) // step) + 1
    at = np.minimum(np.arange(count, dtype=np.float64) * step, n - 1)
    first = np.floor(at).astype(np.intp)
    weight = (at - first)[:, None]
    after = np.minimum(first + 1, n - 1)
    return unit_rows((1.0 - weight) * frames[first] + weight * frames[after])


def quantised(frames: npt.NDArray[np.float64]) -> npt.NDArray[np.int16]:
    out: npt.NDArray[np.int16] = np.rint(frames * SCALE).astype(_ROW)
    return out


def entry_frames(store: Store, source: str, attrs: dict[str, Any], params: dict[str, Any],
                 step: int) -> npt.NDArray[np.int16]:
    """One entry at the matching rate, quantised."""
    x = as_cens(store.read_entry(entry_key(source)), params)
    if x.shape[0] == 0:
        return np.zeros((0, 12), dtype=_ROW)
    # Frames of this entry per matching frame: exact when its rate is the reference's.
    ratio = Fraction(int(attrs.get("sr") or reference_sr(params)) * step, reference_sr(params))
    return quantised(on_grid(x, float(ratio)))


def _identity(attrs: dict[str, Any]) -> str:
    """What changes when an entry is made again: its attributes (the file's
    size and time, frames, chunk sizes, compute time) hashed."""
    return hashlib.sha256(json.dumps(attrs, sort_keys=True, default=str).encode()).hexdigest()[:32]


def _wanted(store: Store) -> dict[str, dict[str, Any]]:
    return dict(sorted(store.scan().whole.items()))


def index_of(store: Store, params: dict[str, Any], step: int) -> Index:
    """The store's index at ``step``: kept up to date in a local store,
    built in memory for one at a URL."""
    rate = reference_sr(params) / int(params["hop_length"]) / step
    if isinstance(store, LocalStore):
        return _local_index(store, params, step, rate)
    files, parts, offset = [], [], 0
    for source, attrs in _wanted(store).items():
        frames = entry_frames(store, source, attrs, params, step)
        files.append(IndexedFile(source, _identity(attrs), offset, frames.shape[0]))
        parts.append(frames)
        offset += frames.shape[0]
    return Index(np.concatenate(parts) if parts else np.zeros((0, 12), _ROW), files, rate)


@contextlib.contextmanager
def _locked(folder: str) -> Iterator[None]:
    """Held while the index is brought up to date: two searches never write it at once."""
    handle = os.open(os.path.join(folder, "lock"), os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
    try:
        fcntl.flock(handle, fcntl.LOCK_EX)
        yield
    finally:
        os.close(handle)


def _read_listing(path: str, about: dict[str, Any]) -> list[IndexedFile] | None:
    """The files an index lists, or None when it is missing or made otherwise."""
    try:
        with open(path, "rb") as f:
            document = json.loads(f.read())
        if {k: document.get(k) for k in about} != about:
            return None
        return [IndexedFile(str(s), str(i), int(o), int(n)) for s, i, o, n in document["files"]]
    except (OSError, ValueError, KeyError, TypeError):
        return None


def _local_index(store: LocalStore, params: dict[str, Any], step: int, rate: float) -> Index:
    folder = os.path.join(store.path, FOLDER)
    os.makedirs(folder, exist_ok=True)
    data, listing = os.path.join(folder, f"step{step}.bin"), os.path.join(folder, f"step{step}.json")
    about = {"version": _VERSION, "params": params, "step": step, "scale": SCALE}
    with _locked(folder):
        old = _read_listing(listing, about) or []
        rows = sum(f.length for f in old)
        if os.path.exists(data) and os.path.getsize(data) < rows * 12 * _ROW.itemsize:
            old, rows = [], 0  # cut short: built again
        wanted = _wanted(store)
        identities = {source: _identity(attrs) for source, attrs in wanted.items()}
        kept = [f for f in old if identities.get(f.source) == f.identity]
        added = [source for source in wanted if source not in {f.source for f in kept}]
        files = list(kept)
        if len(kept) == len(old):
            # Only new entries: appended after what is there (a run killed
            # before the listing was written leaves rows past its end, cut here).
            with open(data, "ab") as f:
                f.truncate(rows * 12 * _ROW.itemsize)
                rows = _append(f, store, wanted, added, params, step, identities, files, rows)
        else:
            with staged(data) as partial, open(partial, "xb") as f:
                copied = np.memmap(data, dtype=_ROW, mode="r") if os.path.getsize(data) else None
                rows, files = 0, []
                for entry in kept:
                    assert copied is not None
                    f.write(copied[entry.offset * 12:(entry.offset + entry.length) * 12].tobytes())
                    files.append(IndexedFile(entry.source, entry.identity, rows, entry.length))
                    rows += entry.length
                del copied
                rows = _append(f, store, wanted, added, params, step, identities, files, rows)
        if files != old or not os.path.exists(listing):
            with staged(listing) as partial, open(partial, "x") as out:
                json.dump({**about, "files": [[f.source, f.identity, f.offset, f.length] for f in files]}, out)
    frames = (np.memmap(data, dtype=_ROW, mode="r", shape=(rows, 12)) if rows
              else np.zeros((0, 12), dtype=_ROW))
    return Index(frames, files, rate)


def _append(f: Any, store: Store, wanted: dict[str, dict[str, Any]], added: list[str], params: dict[str, Any],
            step: int, identities: dict[str, str], files: list[IndexedFile], rows: int) -> int:
    for source in added:
        frames = entry_frames(store, source, wanted[source], params, step)
        f.write(frames.astype(_ROW).tobytes())
        files.append(IndexedFile(source, identities[source], rows, frames.shape[0]))
        rows += frames.shape[0]
    f.flush()
    return rows
